// SPDX-License-Identifier: MIT
// What would point at the deleted bundle or outlive it, in both modes: launch jobs, privileged
// helpers, Launch Services' registration and the installer's receipts; and the system's tools
// that let go of them, each with a time limit.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "app_traces.h"
#include "fs.h"
#include "report.h"
#include "uninstaller.h"

namespace brinvast {

namespace {

// The lines of what a program wrote.
std::vector<std::string_view> lines_in(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        lines.push_back(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return lines;
}

// The value of the line `key` in what a program wrote, "" when it has none.
std::string field_in(std::string_view text, std::string_view key) {
    for (const std::string_view line : lines_in(text)) {
        if (line.starts_with(key)) return std::string(line.substr(key.size()));
    }
    return {};
}

// The last line a program wrote, which says why it failed.
std::string last_line(const std::string& output) {
    const std::vector<std::string_view> lines = lines_in(output);
    const auto said = std::ranges::find_if(lines.rbegin(), lines.rend(),
                                           [](std::string_view line) { return !line.empty(); });
    return said == lines.rend() ? std::string() : std::string(*said);
}

// launchctl's exit statuses for a job that is not loaded: ESRCH, and "Could not find service".
bool not_loaded(int status) {
    return status == 3 || status == 113;
}

}  // namespace

bool BrinvastUninstaller::as_root() {
    return ::geteuid() == 0;
}

// Which installer packages own the bundle, as their receipts say.
std::vector<std::string> BrinvastUninstaller::receipts_of_bundle() {
    const platform::SystemTools tools = platform::system_tools();
    std::vector<std::string> receipts;
    std::string output;
    if (tools.pkgutil.empty() ||
        run_system_command({tools.pkgutil, "--file-info", app_path}, &output))
        return receipts;
    constexpr std::string_view KEY = "pkgid: ";
    for (const std::string_view line : lines_in(output)) {
        if (line.starts_with(KEY) && usable_name(line.substr(KEY.size()), true))
            receipts.emplace_back(line.substr(KEY.size()));
    }
    return receipts;
}

// Before the running check: launchd would start again a helper that it keeps alive, so the
// app's launch jobs are stopped first. Stopping changes nothing on disk.
void BrinvastUninstaller::stop_launch_jobs() {
    const platform::SystemTools tools = platform::system_tools();
    if (tools.launchctl.empty()) return;
    const std::string domain = user_domain(user_of_home());
    std::vector<std::pair<std::string, std::string>> jobs;
    for (const AppTrace& agent : app.agents_into)
        jobs.emplace_back(domain, agent.owner);
    for (const std::string& label : app.ours.agents)
        jobs.emplace_back(domain, label);
    if (as_root()) {
        for (const std::string& label : app.ours.daemons)
            jobs.emplace_back("system", label);
    }
    for (const auto& [job_domain, label] : jobs) {
        const std::string job = job_domain + "/" + label;
        if (std::ranges::find(app.stopped_jobs, job) != app.stopped_jobs.end()) continue;
        if (dry_run) {
            if (!run_system_command(job_loaded_command(tools, job_domain, label)))
                _log_action("DRY RUN: Would stop launch job: " + job);
            continue;
        }
        int status = 0;
        const auto failure =
            run_system_command(stop_job_command(tools, job_domain, label), nullptr, &status);
        if (!failure) {
            app.stopped_jobs.push_back(job);
            _log_action("Stopped launch job: " + job);
        } else if (!not_loaded(status)) {
            warn_unless(failure, "stop the launch job " + job);
        }
    }
}

// The launch agent defined by `trace` is stopped before its file goes.
void BrinvastUninstaller::stop_agent_of(const AppTrace& trace, const std::string& base) {
    std::optional<LaunchAgent> agent;
    {
        const ActingAsHomeOwner as_owner(home_owner);
        agent = launch_agent_of(base, trace);
    }
    if (!agent) return;
    const std::string domain = user_domain(user_of_home());
    if (std::ranges::find(app.stopped_jobs, domain + "/" + agent->label) != app.stopped_jobs.end())
        return;
    (void)run_system_command(stop_job_command(platform::system_tools(), domain, agent->label));
}

// Just before step 1 deletes the bundle: Launch Services forgets it, while lsregister can still
// read what it registered from it. A dry run says it would.
void BrinvastUninstaller::unregister_application() {
    const std::vector<std::string> command =
        unregister_command(platform::system_tools(), user_of_home(), app_path);
    const std::string what = "unregister " + app_path + " from Launch Services";
    if (command.empty()) return;
    if (dry_run) {
        _log_action("DRY RUN: Would " + what);
        return;
    }
    warn_unless(run_system_command(command), what);
}

// Once the bundle is gone (now or in an earlier run), in both modes, what would start a program
// inside it goes: launch agents, whatever their names, and as root the privileged helpers that
// it installed.
void BrinvastUninstaller::forget_removed_application() {
    const std::vector<AppTrace> none;
    const std::pair<const std::vector<AppTrace>*, const char*> kinds[] = {
        {&app.agents_into, "launch agent of the removed application: "},
        {as_root() ? &app.system.traces : &none, "privileged helper: "}};
    for (const auto& [traces, what] : kinds) {
        for (const AppTrace& trace : *traces) {
            if (dry_run) {
                _log_action(std::string("DRY RUN: Would remove ") + what + trace.path);
            } else {
                const bool system = trace.kind == AppTrace::Kind::system;
                (void)remove_app_trace(trace, system ? system_root() : home,
                                       std::string("Removed ") + what);
            }
        }
    }
}

// After steps 1 and 2, as root: a receipt whose files all lay inside the removed bundle is
// forgotten, so that management tools no longer count Brinvast as installed.
void BrinvastUninstaller::forget_receipts() {
    const platform::SystemTools tools = platform::system_tools();
    if (!as_root() || !app.identities || tools.pkgutil.empty()) return;
    for (const std::string& receipt : app.ours.receipts) {
        if (dry_run) {
            _log_action("DRY RUN: Would forget installer receipt: " + receipt);
            continue;
        }
        std::string info;
        std::string files;
        if (run_system_command({tools.pkgutil, "--pkg-info", receipt}, &info)) continue;
        if (const auto failure =
                run_system_command({tools.pkgutil, "--only-files", "--files", receipt}, &files)) {
            warn_unless(failure, "read the installer's receipt " + receipt);
            continue;
        }
        if (const std::string other = file_outside_bundle(info, files); !other.empty()) {
            const std::string line = "⚠️  Keeping the installer's receipt " + receipt +
                                     ": it also installed " + other;
            say(line);
            app.staying.push_back(line);
            continue;
        }
        const auto failure = run_system_command({tools.pkgutil, "--forget", receipt});
        warn_unless(failure, "forget the installer's receipt " + receipt);
        if (!failure) {
            app.forgotten.push_back(receipt);
            _log_action("Forgot installer receipt: " + receipt);
        }
    }
}

// The first file of a receipt (its --pkg-info `info` and --files `files`) that stands, or lay,
// anywhere but inside the removed bundle; "" when there is none.
std::string BrinvastUninstaller::file_outside_bundle(const std::string& info,
                                                     const std::string& files) const {
    const std::string prefix =
        field_in(info, "volume: ") + "/" + field_in(info, "location: ") + "/";
    const std::string inside = resolved_path(app_path) + "/";
    for (const std::string_view file : lines_in(files)) {
        const std::string path = resolved_path(prefix + std::string(file));
        struct stat status {};
        if (!path.starts_with(inside) || ::lstat(path.c_str(), &status) == 0) return path;
    }
    return {};
}

std::string BrinvastUninstaller::system_root() const {
    std::string name;
    const std::string root = parent_of(parent_of(app_path, name), name);
    return root.empty() ? "/" : root;
}

UserOfHome BrinvastUninstaller::user_of_home() const {
    const bool for_owner = as_root() && home_owner.has_value();
    return {for_owner ? home_owner->uid : ::geteuid(), for_owner};
}

// Runs one of the system's programs; an empty command, for a tool this platform lacks, is no
// failure. Why it failed, or nothing; what it wrote goes to `output`, its status to `status`.
std::optional<std::string> BrinvastUninstaller::run_system_command(
    const std::vector<std::string>& command, std::string* output, int* status) {
    if (command.empty()) return std::nullopt;
    std::string said;
    const platform::ProgramRun run = platform::run_program(command, said);
    if (status) *status = run.status;
    if (output) *output = said;
    if (run.timed_out) return std::string("no answer within 30 seconds");
    if (run.error) return std::string(std::strerror(run.error.value()));
    if (run.status == 0) return std::nullopt;
    const std::string last = last_line(said);
    return last.empty() ? "exit status " + std::to_string(run.status) : last;
}

void BrinvastUninstaller::warn_unless(const std::optional<std::string>& failure,
                                      const std::string& what) {
    if (failure) say("⚠️  Could not " + what + ": " + *failure);
}

}  // namespace brinvast
