// SPDX-License-Identifier: MIT
// What macOS keeps for Brinvast under its bundle identifier: surveyed in every run, removed in
// complete removal, and, in both modes, what would point at the deleted bundle.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app_traces.h"
#include "fs.h"
#include "info_plist.h"
#include "report.h"
#include "uninstaller.h"

namespace brinvast {

namespace {

std::string trace_line(const AppTrace& trace) {
    if (trace.link) return "   🔗 " + trace.path + " (a link, removed as a link)";
    const std::string size = format_mb(static_cast<double>(trace.bytes) / BYTES_PER_MB) + " MB";
    if (!trace.directory) return "   📄 " + trace.path + " (" + size + ")";
    return "   📁 " + trace.path + " (" + std::to_string(trace.file_count) + " files, " + size + ")";
}

// Whether an entry stands at `path`, not followed; one that cannot be examined may.
bool entry_present(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 || (errno != ENOENT && errno != ENOTDIR);
}

// The last line a program wrote, which says why it failed.
std::string last_line(const std::string& output) {
    const std::size_t end = output.find_last_not_of('\n');
    if (end == std::string::npos) return {};
    const std::size_t start = output.rfind('\n', end);
    return output.substr(start == std::string::npos ? 0 : start + 1, end + 1 - (start + 1));
}

}  // namespace

// Read before step 1, so that a dry run shows what a real run would remove. Without a bundle
// there is no identifier, and the not-found line says why.
void BrinvastUninstaller::survey_app_traces(bool app_exists) {
    if (!app_exists) return;
    const ActingAsHomeOwner as_owner(home_owner);
    const BundleIdentifier read = bundle_identifier(app_path);
    if (!read.identifier) {
        if (clean_all)
            say("⚠️  Not looking for what macOS keeps for Brinvast: " + read.problem);
        return;
    }
    app_identifier = read.identifier;
    copies = other_copies(app_path, home, *app_identifier);
    for (const std::string& copy : copies)
        say("⚠️  Another Brinvast with this identifier is installed: " + copy);
    const std::vector<AppTrace> traces = app_traces(home, *app_identifier);
    if (traces.empty()) return;
    say("\n📋 What macOS keeps for " + *app_identifier + ":");
    for (const AppTrace& trace : traces)
        say(trace_line(trace));
}

// Step 2 of complete removal, after the directories: each trace goes with the same safe removal,
// one line each. Another copy of Brinvast still uses them, and then they stay.
bool BrinvastUninstaller::remove_app_traces() {
    if (!app_identifier) return true;
    if (!copies.empty()) {
        say("⚠️  Leaving what macOS keeps for " + *app_identifier +
            ": another Brinvast with this identifier uses it");
        return true;
    }
    std::vector<AppTrace> traces;
    {
        const ActingAsHomeOwner as_owner(home_owner);
        traces = app_traces(home, *app_identifier);
    }
    bool success = true;
    for (const AppTrace& trace : traces) {
        if (dry_run) {
            _log_action("DRY RUN: Would remove what macOS keeps: " + trace.path);
        } else {
            success = remove_app_trace(trace) && success;
        }
    }
    return success;
}

// A launch agent is stopped before its file goes, and preferences go through the preferences
// system too, whose cache would otherwise outlive the file. A container that macOS guards even
// from root is left, with a word on how to remove it, and fails nothing.
bool BrinvastUninstaller::remove_app_trace(const AppTrace& trace) {
    const platform::SystemTools tools = platform::system_tools();
    if (trace.kind == AppTrace::Kind::launch_agent) {
        if (const std::optional<LaunchAgent> agent = launch_agent_at(trace.path)) {
            (void)run_system_command(stop_agent_command(tools, user_of_home(), agent->label));
        }
    }
    if (trace.kind == AppTrace::Kind::preferences ||
        trace.kind == AppTrace::Kind::host_preferences) {
        const bool this_host = trace.kind == AppTrace::Kind::host_preferences;
        warn_unless(run_system_command(forget_preferences_command(tools, user_of_home(),
                                                                  *app_identifier, this_host)),
                    "tell the preferences system to forget " + *app_identifier);
    }
    try {
        const ActingAsHomeOwner as_owner(home_owner);
        const bool removed = trace.directory ? remove_tree(trace.path) : remove_file(trace.path);
        if (removed) {
            removed_traces.push_back(trace.path);
            _log_action("Removed what macOS kept: " + trace.path);
        }
        return true;
    } catch (const std::system_error& error) {
        if (trace.kind == AppTrace::Kind::container && is_permission_error(error)) {
            say("⚠️  macOS keeps " + trace.path +
                " from being removed: drag it to the Bin in Finder, then empty the Bin");
            return true;
        }
        if (is_permission_error(error)) {
            report_refusal(trace.path, error, false);
        } else {
            say("❌ Failed to remove " + trace.path + ": " + error.what());
        }
        return false;
    }
}

// Once the bundle is gone, in both modes: Launch Services forgets it, and a launch agent that
// would start a program inside it, whatever its name, goes too. Failures here only warn.
void BrinvastUninstaller::forget_removed_application() {
    const platform::SystemTools tools = platform::system_tools();
    warn_unless(run_system_command(unregister_command(tools, user_of_home(), app_path)),
                "unregister " + app_path + " from Launch Services");
    std::vector<LaunchAgent> agents;
    {
        const ActingAsHomeOwner as_owner(home_owner);
        agents = launch_agents_into(home, app_path);
    }
    for (const LaunchAgent& agent : agents) {
        (void)run_system_command(stop_agent_command(tools, user_of_home(), agent.label));
        try {
            const ActingAsHomeOwner as_owner(home_owner);
            if (remove_file(agent.path)) {
                removed_traces.push_back(agent.path);
                _log_action("Removed launch agent of the removed application: " + agent.path);
            }
        } catch (const std::system_error& error) {
            say(std::string("⚠️  Could not remove the launch agent ") + agent.path + ": " +
                error.what());
        }
    }
}

bool BrinvastUninstaller::verify_traces_removed() {
    bool gone = true;
    for (const std::string& path : removed_traces) {
        if (!entry_present(path)) continue;
        say("❌ Still exists: " + path);
        gone = false;
    }
    return gone;
}

UserOfHome BrinvastUninstaller::user_of_home() const {
    const bool as_root = ::geteuid() == 0 && home_owner.has_value();
    return {as_root ? home_owner->uid : ::geteuid(), as_root};
}

// Runs one of the system's programs; an empty command, for a tool this platform lacks, is no
// failure. Why it failed, or nothing.
std::optional<std::string> BrinvastUninstaller::run_system_command(
    const std::vector<std::string>& command) {
    if (command.empty()) return std::nullopt;
    constexpr std::chrono::seconds limit(30);
    std::string output;
    const platform::ProgramRun run = platform::run_program(command, output, limit);
    if (run.timed_out) return "no answer within " + std::to_string(limit.count()) + " seconds";
    if (run.status == 0) return std::nullopt;
    if (run.status < 0) return std::string(std::strerror(run.error));
    const std::string said = last_line(output);
    return said.empty() ? "exit status " + std::to_string(run.status) : said;
}

void BrinvastUninstaller::warn_unless(const std::optional<std::string>& failure,
                                      const std::string& what) {
    if (failure) say("⚠️  Could not " + what + ": " + *failure);
}

}  // namespace brinvast
