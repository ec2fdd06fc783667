// SPDX-License-Identifier: MIT
// What would point at the deleted bundle or outlive it, in both modes: launch jobs, privileged
// helpers, Launch Services' registration and the installer's receipts; and the system's tools
// that let go of them, each with a time limit, and all of one run's within one budget. Outside
// the home, root acts only on what evidence that only root could have written shows to be
// Brinvast's: a user who can write the bundle or the home must not steer root.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "administrator.h"
#include "app_traces.h"
#include "code_signature.h"
#include "fs.h"
#include "names.h"
#include "processes.h"
#include "report.h"
#include "uninstaller.h"

namespace brinvast {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How much longer than a job's ExitTimeOut launchd may take to let it go.
constexpr auto JOB_END_MARGIN = std::chrono::seconds(5);

// A time for the report, whatever the locale.
std::string duration_text(milliseconds duration) {
    if (duration.count() % 1000 != 0) return std::to_string(duration.count()) + " ms";
    const auto seconds = duration.count() / 1000;
    return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

// Whether the process `pid` is still there, another user's included.
bool process_exists(int pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

// Whether root may take what the bundle says as only root's word: the bundle, everything in it,
// and every folder from "/" down to it may be changed by nobody but root and the administrators.
// Nothing when so; otherwise which entry may be changed, and by whom, or why that cannot be told.
std::optional<std::string> bundle_changeable(const std::string& bundle) {
    if (auto who = changeable_beyond_administrators(bundle)) return who;
    namespace fs = std::filesystem;
    std::error_code error;
    for (fs::recursive_directory_iterator entry(bundle, error), end; !error && entry != end;
         entry.increment(error)) {
        struct stat info {};
        if (::lstat(entry->path().c_str(), &info) != 0)
            return std::strerror(errno) + (": " + entry->path().string());
        if (auto who = others_than_administrators(info))
            return entry->path().string() + " may be changed by " + *who;
    }
    if (error) return error.message() + ": " + bundle;
    return std::nullopt;
}

}  // namespace

// Which installer packages own the bundle, as their receipts say.
std::vector<std::string> BrinvastUninstaller::receipts_of_bundle() {
    const platform::SystemTools tools = platform::system_tools();
    if (tools.pkgutil.empty()) return {};
    const ToolAnswer info = run_system_command({tools.pkgutil, "--file-info", app_path});
    if (!info.succeeded()) {
        stays("⚠️  Cannot tell which installer receipts own Brinvast.app: " + info.failure());
        note_unexamined(app_path, "which installer receipts own it: " + info.failure());
        return {};
    }
    return receipts_in(info.output);
}

// The bundle's daemons that root may stop and remove. A bundle that only root and the
// administrators can change names them; otherwise only launchd running the loaded job from
// inside the bundle, or the root-owned helper naming Brinvast among its clients, shows a daemon to
// be Brinvast's. The rest stay, with a line each where something of theirs is there.
std::vector<std::string> BrinvastUninstaller::daemons_root_may_stop() {
    if (app.from_bundle) app.bundle_doubt = bundle_changeable(app_path);
    if (app.ours.daemons.empty()) return {};
    const std::optional<std::string>& doubt = app.bundle_doubt;
    if (!doubt) return app.ours.daemons;
    std::vector<std::string> trusted;
    const std::string bundle = real_path(app_path) + "/";
    for (const std::string& label : app.ours.daemons) {
        const ToolAnswer print = launchctl("print", true, label);
        const Check loaded = job_state(print);
        const bool runs_from_bundle =
            loaded == Check::left &&
            name_starts_with(real_path(loaded_job_in(print.output).program), bundle);
        if (runs_from_bundle ||
            std::ranges::find(app.root_daemons, label) != app.root_daemons.end() ||
            helper_authorizes_brinvast(label)) {
            trusted.push_back(label);
        } else if (loaded != Check::done ||
                   !survey_system_traces(system_root(), {label}).traces.empty()) {
            const std::string why =
                *doubt +
                ", and nothing that only root could have written shows it to be Brinvast's";
            stays("⚠️  Leaving the privileged helper " + label + ": " + why, "system/" + label,
                  why);
        }
    }
    return trusted;
}

// Whether the privileged helper `label`, a file that only root and the administrators may have
// put there, lets Brinvast talk to it by its identifier (SMAuthorizedClients). An identifier that
// another installed app declares names nothing of ours.
bool BrinvastUninstaller::helper_authorizes_brinvast(const std::string& label) {
    if (!app.identities) return false;
    const std::string& identifier = app.identities->identifier;
    if (app.others.identifiers.contains(identifier) || !app.others.same_identifier.empty())
        return false;
    std::string root = system_root();
    if (root.ends_with('/')) root.pop_back();
    const std::string folder = root + "/Library/PrivilegedHelperTools";
    if (changeable_beyond_administrators(folder + "/" + label)) return false;
    const unique_fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid()) return false;
    const CodeSignature helper = read_code_signature(dir.get(), label.c_str());
    return !helper.problem &&
           std::ranges::any_of(helper.clients, [&identifier](const std::string& requirement) {
               return requirement_names(requirement, identifier);
           });
}

// Before the running check: launchd would start again a helper that it keeps alive, so the
// app's launch jobs are stopped first. Stopping changes nothing on disk.
void BrinvastUninstaller::stop_launch_jobs() {
    if (platform::system_tools().launchctl.empty()) return;
    std::vector<std::pair<bool, std::string>> jobs;  // in the system's domain, and the label
    for (const AppTrace& agent : app.agents_into) {
        if (!agent.owner.empty()) jobs.emplace_back(false, agent.owner);
    }
    for (const std::string& label : app.ours.agents)
        jobs.emplace_back(false, label);
    if (root_run) {
        for (const std::string& label : app.ours.daemons)
            jobs.emplace_back(true, label);
    }
    std::vector<std::pair<bool, std::string>> done;
    for (const auto& job : jobs) {
        if (std::ranges::find(done, job) != done.end()) continue;
        done.push_back(job);
        stop_job(job.first, job.second);
    }
}

// Stops the job `label`, in the system's domain or the user's, and waits for launchd to let it
// go. A dry run says that it would. Every job the run set out to stop is verified at its end.
void BrinvastUninstaller::stop_job(bool system, const std::string& label) {
    const ToolAnswer print = launchctl("print", system, label);
    const std::string job = (system ? std::string("system") : session_domain()) + "/" + label;
    const Check loaded = job_state(print);
    if (loaded == Check::done) return;
    if (dry_run) {
        if (loaded == Check::left) {
            _log_action("DRY RUN: Would stop launch job: " + job);
            note_removed(job, "launch job");
        } else {
            say("⚠️  Cannot tell whether the launch job " + job +
                " is loaded: " + print.failure());
            note_unexamined(job, print.failure());
        }
        return;
    }
    app.stopped_jobs.push_back(job);
    const ToolAnswer bootout = launchctl("bootout", system, label);
    if (bootout_taken(bootout)) {
        _log_action("Stopped launch job: " + job);
        note_removed(job, "launch job");
        wait_for_job_to_end(system, label, print);
    } else if (!job_not_loaded(bootout)) {
        warn_unless(bootout, "stop the launch job " + job);
    }
}

// launchd stops a job late: it sends SIGTERM, and lets the job go once it has ended, or once its
// ExitTimeOut is up and it has killed it. This waits until launchd no longer knows the job and
// nothing of it runs from the bundle, for that long and a margin, and says so while it waits; what
// still runs then, or what launchd would not say, the running check and the verification tell.
void BrinvastUninstaller::wait_for_job_to_end(bool system, const std::string& label,
                                              const ToolAnswer& print) {
    const LoadedJob loaded = loaded_job_in(print.output);
    const milliseconds bound = loaded.exit_timeout.count() > 0
                                   ? loaded.exit_timeout + JOB_END_MARGIN
                                   : tool_limits.per_run;
    const Clock::time_point deadline = std::min(Clock::now() + bound, tools_deadline);
    // launchd names the job's process; without its word, anything running from the bundle may be
    // it.
    const auto still_runs = [&] {
        if (loaded.pid > 0) return process_exists(loaded.pid);
        if (job_state(print) == Check::left) return false;
        // Where nobody can tell, the running check says so.
        return !processes_running_from(app_path).value.empty();
    };
    milliseconds pause(20);
    for (bool told = false;;) {
        const Check job = job_state(launchctl("print", system, label));
        if (job == Check::cannot_tell || (job == Check::done && !still_runs())) return;
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return;
        if (!told) say("   Waiting up to " + duration_text(bound) + " for launchd to stop it");
        told = true;
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, milliseconds(500));
    }
}

// launchctl <verb> for the job `label` in the system's domain or the user's. The user's gui/<uid>
// domain does not exist while nobody is logged in (at the login window, over SSH): launchd then
// keeps the user's jobs in user/<uid>, which this and every later call of the run asks instead.
ToolAnswer BrinvastUninstaller::launchctl(const char* verb, bool system, const std::string& label) {
    const platform::SystemTools tools = platform::system_tools();
    const auto ask = [&] {
        const std::string domain = system ? std::string("system") : session_domain();
        return run_system_command(std::string_view(verb) == "print"
                                      ? job_loaded_command(tools, domain, label)
                                      : stop_job_command(tools, domain, label));
    };
    ToolAnswer answer = ask();
    if (!system && !app.no_gui_domain && domain_missing(answer)) {
        app.no_gui_domain = true;
        answer = ask();
    }
    return answer;
}

std::string BrinvastUninstaller::session_domain() const {
    return user_domain(user_of_home(), !app.no_gui_domain);
}

// The launch agent defined by `trace` is stopped before its file goes.
void BrinvastUninstaller::stop_agent_of(const AppTrace& trace, const std::string& base) {
    if (platform::system_tools().launchctl.empty()) return;
    LaunchAgentRead read;
    {
        const ActingAsHomeOwner as_owner(home_owner);
        read = launch_agent_of(base, trace);
    }
    if (!read.agent || !usable_name(read.agent->label)) return;
    const std::string job = session_domain() + "/" + read.agent->label;
    if (std::ranges::find(app.stopped_jobs, job) != app.stopped_jobs.end()) return;
    stop_job(false, read.agent->label);
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
// root's own evidence shows it installed.
void BrinvastUninstaller::forget_removed_application() {
    const std::vector<AppTrace> none;
    const struct {
        const std::vector<AppTrace>& traces;
        const char* action;
        const char* what;
    } kinds[] = {{app.agents_into, "launch agent of the removed application: ", "launch agent"},
                 {root_run ? app.system.traces : none, "privileged helper: ", "privileged helper"}};
    for (const auto& [traces, action, what] : kinds) {
        for (const AppTrace& trace : traces) {
            if (dry_run) {
                _log_action(std::string("DRY RUN: Would remove ") + action + trace.path);
                note_removed(trace.path, what, trace.bytes);
            } else {
                const bool system = trace.kind == AppTrace::Kind::system;
                (void)remove_app_trace(trace, system ? system_root() : home,
                                       std::string("Removed ") + action, what);
            }
        }
    }
}

// After steps 1 and 2, as root: a receipt whose files all lay inside the removed bundle is
// forgotten, so that management tools no longer count Brinvast as installed.
void BrinvastUninstaller::forget_receipts() {
    const platform::SystemTools tools = platform::system_tools();
    if (!root_run || !app.identities || tools.pkgutil.empty()) return;
    for (const std::string& receipt : app.ours.receipts) {
        if (dry_run) {
            _log_action("DRY RUN: Would forget installer receipt: " + receipt);
            note_removed(receipt, "installer receipt");
        } else {
            forget_receipt(tools, receipt);
        }
    }
}

// A receipt is forgotten only when pkgutil gave its whole list of files, which holds at least
// one, and every one of them lay inside the removed bundle and is gone; otherwise it stays, with
// the reason. Forgetting cannot be undone.
void BrinvastUninstaller::forget_receipt(const platform::SystemTools& tools,
                                         const std::string& receipt) {
    const ToolAnswer info = run_system_command({tools.pkgutil, "--pkg-info", receipt});
    const Check recorded = receipt_state(info);
    if (recorded == Check::done) return;
    const ToolAnswer files =
        recorded == Check::left
            ? run_system_command({tools.pkgutil, "--only-files", "--files", receipt})
            : info;
    if (!files.succeeded()) {
        stays("⚠️  Could not read the installer's receipt " + receipt + ": " + files.failure());
        note_unexamined(receipt, files.failure());
        return;
    }
    const std::string other = file_outside_bundle(info.output, files.output);
    if (!other.empty()) {
        stays("⚠️  Keeping the installer's receipt " + receipt + ": " + other, receipt, other);
        return;
    }
    const ToolAnswer forget = run_system_command({tools.pkgutil, "--forget", receipt});
    warn_unless(forget, "forget the installer's receipt " + receipt);
    if (forget.succeeded()) {
        app.forgotten.push_back(receipt);
        _log_action("Forgot installer receipt: " + receipt);
        note_removed(receipt, "installer receipt");
    }
}

// Why a receipt (its --pkg-info `info` and --files `files`) must stay: the first of its files
// that stands, or lay, anywhere but inside the removed bundle, or that it lists none; "" when
// nothing keeps it.
std::string BrinvastUninstaller::file_outside_bundle(const std::string& info,
                                                     const std::string& files) const {
    const std::string prefix =
        field_in(info, "volume: ") + "/" + field_in(info, "location: ") + "/";
    const std::string inside = real_path(app_path) + "/";
    bool any = false;
    for (const std::string_view file : lines_in(files)) {
        if (file.empty()) continue;
        any = true;
        const std::string path = real_path(prefix + std::string(file));
        struct stat status {};
        if (!path.starts_with(inside) || ::lstat(path.c_str(), &status) == 0)
            return "it also installed " + path;
    }
    return any ? std::string() : "it lists no files";
}

// After the bundle went, on macOS 13 and later: an entry of Login Items that pointed into it
// stays in the Background Task Management database, which only the system and the user may
// change; each gets a line saying where to switch it off. Never reset: that would drop every
// other app's entries too.
void BrinvastUninstaller::report_background_items() {
    const platform::SystemTools tools = platform::system_tools();
    if (dry_run || !app.removed_bundle || tools.sfltool.empty()) return;
    const ToolAnswer dump = run_system_command(background_items_command(tools, user_of_home()));
    if (!dump.succeeded()) {
        warn_unless(dump, "read what Login Items lists");
        return;
    }
    const std::string bundle = real_path(app_path);
    const std::string identifier = app.identities ? app.identities->identifier : std::string();
    for (const BackgroundItem& item : background_items_in(dump.output, identifier, app_path)) {
        const bool into = std::ranges::any_of(item.paths, [&bundle](const std::string& path) {
            const std::string resolved = real_path(path);
            return same_name(resolved, bundle) || name_starts_with(resolved, bundle + "/");
        });
        if (!into) continue;
        const std::string why = "switch it off in System Settings › General › Login Items";
        stays("⚠️  Login Items still lists " + (item.name.empty() ? "an item" : item.name) +
                  " of the removed Brinvast.app: " + why,
              item.paths.front(), "Login Items still lists it: " + why);
    }
}

// Every job the run set out to stop is no longer loaded, and every receipt it forgot is no longer
// recorded; a check that cannot tell fails the run as surely as one that finds it left.
bool BrinvastUninstaller::verify_jobs_and_receipts() {
    bool gone = true;
    const auto judge = [&](Check state, const std::string& left, const std::string& unknown) {
        if (state == Check::done) return;
        say(state == Check::left ? "❌ " + left : "❌ Cannot tell whether " + unknown);
        gone = false;
    };
    const platform::SystemTools tools = platform::system_tools();
    for (const std::string& job : app.stopped_jobs) {
        const std::size_t slash = job.rfind('/');
        const ToolAnswer print = run_system_command(
            job_loaded_command(tools, job.substr(0, slash), job.substr(slash + 1)));
        judge(job_state(print), "Launch job still loaded: " + job,
              "the launch job " + job + " is still loaded: " + print.failure());
    }
    for (const std::string& receipt : app.forgotten) {
        const ToolAnswer info = run_system_command({tools.pkgutil, "--pkg-info", receipt});
        judge(receipt_state(info), "Installer receipt still recorded: " + receipt,
              "the installer receipt " + receipt + " is forgotten: " + info.failure());
    }
    return gone;
}

namespace {

// The root of the system whose Applications folder holds the bundle at `app_path`: "/".
std::string system_root_of(const std::string& app_path) {
    std::string name;
    const std::string root = parent_of(parent_of(app_path, name), name);
    return root.empty() ? "/" : root;
}

}  // namespace

std::string BrinvastUninstaller::system_root() const {
    return system_root_of(app_path);
}

Problem forget_identities_for_every_user(const Locations& where) {
    return remove_shared_record(system_root_of(where.BRINVAST_APP_PATH));
}

UserOfHome BrinvastUninstaller::user_of_home() const {
    const bool for_owner = root_run && home_owner.has_value();
    return {for_owner ? home_owner->uid : ::geteuid(), for_owner};
}

// Runs one of the system's programs, within its time limit and what is left of the run's. What
// it answered, or why nothing may be decided on it.
ToolAnswer BrinvastUninstaller::run_system_command(const std::vector<std::string>& command) {
    if (command.empty() || command.front().empty()) return {-1, {}, "it is not on this system"};
    const auto left = std::chrono::floor<milliseconds>(tools_deadline - Clock::now());
    if (left.count() <= 0)
        return {-1,
                {},
                "the run's " + duration_text(tool_limits.per_run) +
                    " for the system's tools are spent"};
    const milliseconds limit = std::min(tool_limits.per_call, left);
    ToolAnswer answer;
    const platform::ProgramRun run = platform::run_program(command, answer.output, limit);
    answer.status = run.status;
    if (run.timed_out) {
        answer.problem = limit == tool_limits.per_call
                             ? "no answer within " + duration_text(limit)
                             : "no answer before the run's " + duration_text(tool_limits.per_run) +
                                   " for the system's tools were spent";
    } else if (run.error) {
        answer.problem = {std::strerror(run.error.value()), run.error};
    } else if (run.cut) {
        answer.problem = "it wrote more than can be read";
    }
    return answer;
}

void BrinvastUninstaller::warn_unless(const ToolAnswer& answer, const std::string& what) {
    if (!answer.succeeded()) say("⚠️  Could not " + what + ": " + answer.failure());
}

}  // namespace brinvast
