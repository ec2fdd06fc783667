// SPDX-License-Identifier: MIT
#include "runs.h"

#include <algorithm>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>

#include "exit_status.h"
#include "interrupt.h"
#include "report.h"
#include "tool_answers.h"

namespace brinvast::cli {

namespace {

// How serious an exit status is, when one command serves several homes: an interrupt, an error
// that escaped the engine, a failed run (rolled back), a running Brinvast, a busy home, something
// left (a check), success.
int seriousness(int status) {
    constexpr int order[] = {succeeded,        check_left, home_busy,
                             brinvast_running, run_failed, engine_error};
    if (status > 128) return static_cast<int>(std::size(order));
    const auto* found = std::ranges::find(order, status);
    return found == std::end(order) ? 0 : static_cast<int>(found - std::begin(order));
}

// A check's status: nothing of Brinvast left, something left, or nothing left that could be
// seen but something that could not be examined.
int check_status(const RunSummary& summary) {
    if (!summary.removed.empty() || !summary.kept.empty()) return check_left;
    return summary.could_not_examine.empty() ? succeeded : run_failed;
}

// Whether a run left nothing of Brinvast in its home: nothing kept, nothing it could not examine.
bool left_nothing(const UserRun& run) {
    return run.summary.kept.empty() && run.summary.could_not_examine.empty();
}

// The list a check prints for one home.
void print_check(const UserRun& run, std::ostream& out) {
    const std::string whose = run.user + " (" + shown_text(run.home) + ")";
    if (run.exit_status == succeeded) out << "✅ Nothing of Brinvast is left for " << whose << '\n';
    if (run.exit_status == check_left) out << "📋 Left of Brinvast for " << whose << ":\n";
    for (const RunSummary::Removed& entry : run.summary.removed)
        out << "   " << shown_text(entry.path) << " (" << entry.what << ")\n";
    for (const RunSummary::Noted& entry : run.summary.kept)
        out << "   " << shown_text(entry.path) << " (" << shown_text(entry.why) << ")\n";
    for (const RunSummary::Noted& entry : run.summary.could_not_examine) {
        out << "⚠️  Cannot examine " << shown_text(entry.path) << ": " << shown_text(entry.why)
            << '\n';
    }
}

// The engine's run for `home`, its report going to `live` as it happens, or kept for the end.
UserRun run_home(const RunRequest& request, const Home& home, std::ostream* live) {
    std::ostringstream kept;
    std::ostream& out = live ? *live : kept;
    UserRun run{home.user, home_directory(home.where), {}, 0, {}, {}};
    try {
        BrinvastUninstaller uninstaller(request.dry_run || request.check, request.force,
                                        request.complete || request.check, home.where, out,
                                        RunOptions{.lock_patience = request.lock_patience,
                                                   .home_owner = home.owner,
                                                   .tool_limits = request.tool_limits});
        (void)uninstaller.run();  // its outcome says more than whether it succeeded
        run.outcome = outcome_name(uninstaller.outcome());
        run.exit_status = exit_status(uninstaller.outcome());
        run.summary = uninstaller.summary();
    } catch (const UserInterrupt&) {
        run.outcome = "interrupted";
        run.exit_status = 128 + last_interrupt();
    } catch (const std::exception& error) {
        (live ? std::cerr : out) << "❌ " << error.what() << '\n';
        run.outcome = "error";
        run.exit_status = engine_error;
    }
    // A check asks what is left, which even a dry run that predicts a failure tells.
    if (request.check && (run.exit_status == succeeded || run.exit_status == run_failed)) {
        run.exit_status = check_status(run.summary);
        if (run.exit_status != run_failed)
            run.outcome = run.exit_status == succeeded ? "clean" : "left";
    }
    const std::string report = kept.str();
    for (const std::string_view line : lines_in(report))
        run.report.emplace_back(line);
    return run;
}

}  // namespace

int run_homes(const RunRequest& request, const std::vector<Home>& homes) {
    // One home, no summary: the report is the output, exactly as the window's run prints it.
    const bool plain = !request.json && !request.check;
    const bool each_user = plain && request.all_users;
    std::vector<UserRun> runs;
    const UserRun* worst = nullptr;
    // Around every run: an interrupt ends the runs, and the process only once what happened is
    // written.
    std::optional<InterruptScope> until_written;
    if (!plain || request.all_users) until_written.emplace();
    runs.reserve(homes.size());
    for (const Home& home : homes) {
        if (last_interrupt() != 0) break;
        if (each_user) {
            std::cout << "\n📋 Brinvast for " << home.user << ": "
                      << shown_text(home_directory(home.where)) << std::endl;
        }
        const UserRun& run =
            runs.emplace_back(run_home(request, home, plain ? &std::cout : nullptr));
        if (!worst || seriousness(run.exit_status) > seriousness(worst->exit_status)) worst = &run;
        if (request.check && !request.json) print_check(run, std::cout);
    }
    if (each_user) {
        std::cout << "\n📋 Every user:\n";
        for (const UserRun& run : runs) {
            std::cout << "   " << (run.exit_status == succeeded ? "✅ " : "❌ ") << run.user << ": "
                      << run.outcome << " (exit status " << run.exit_status << ")\n";
        }
    }
    const int status = worst ? worst->exit_status : 128 + last_interrupt();
    if (request.all_users && !request.dry_run && !request.check && runs.size() == homes.size() &&
        status == succeeded && std::ranges::all_of(runs, left_nothing)) {
        if (const Problem refused = forget_identities_for_every_user(homes.front().where))
            std::cerr << "brinvast-uninstall: " << refused.text << '\n';
    }
    if (request.json) {
        const char* mode = request.check ? "check" : request.complete ? "complete" : "standard";
        std::cout << run_json(mode, request.dry_run || request.check,
                              worst ? worst->outcome : "interrupted", status, runs);
    }
    std::cout.flush();
    return status;
}

}  // namespace brinvast::cli
