// SPDX-License-Identifier: MIT
#pragma once

// What macOS keeps for an app in its user's home, under names made from its identities: its
// preferences, caches, web storage, logs, saved windows, sandbox containers, app groups and
// launch agents. A reinstalled app finds them again, so complete removal deletes them too; but
// only by exact names and the name space below the app's identifier, never by the product's
// name or by a part of a name, so that nothing of another app's goes with them. A link at such a
// name is the trace itself: it is removed as a link, and nothing it leads to is looked at.
// Every place is reached from the home one folder at a time, refusing links, and a trace is
// removed relative to its place: a folder swapped for a link between the survey and the
// removal leads nowhere.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app_identities.h"
#include "platform.h"
#include "tool_answers.h"

namespace brinvast {

// One thing macOS keeps for the app.
struct AppTrace {
    enum class Kind { preferences, host_preferences, launch_agent, container, data, system };
    std::string path;    // as the report names it
    std::string folder;  // its place, below the home (or the system's root, for `system`)
    std::string name;    // its name there
    std::string owner;   // the identity it is kept for
    Kind kind = Kind::data;
    bool directory = false;  // a real directory, to be removed as a tree
    bool link = false;       // a link, removed as a link
    std::uint64_t file_count = 0;
    std::uint64_t bytes = 0;
    // The folders in it that could not be listed, and so are not counted (the first
    // TreeTotals::UNLISTED_KEPT of them), and how many there were; itself, when it could not be.
    std::vector<std::string> unlisted{};
    std::uint64_t unlisted_count = 0;
};

// What the survey of the places found.
struct TraceSurvey {
    std::vector<AppTrace> traces;
    // "path: reason" for each place or name that may hold a trace but cannot be examined: a run
    // cannot tell that it leaves nothing there.
    std::vector<std::string> unexamined;
    // The places whose name space could not be listed; their exact names were looked up.
    std::vector<std::string> unlisted;
};

// Which names are the app's, and for whom: `identities` after every name that another app
// claims was taken out, and the other apps, whose own name spaces are never ours. Without
// `name_space` only exact names count: an installed app that could not be read may claim any
// name below the app's identifier.
struct TraceNames {
    const AppIdentities& identities;
    const OtherApps& others;
    bool name_space = true;
};

// The traces in `home`, place by place in a fixed order and by name within a place.
[[nodiscard]] TraceSurvey survey_traces(const std::string& home, const TraceNames& names);

// The privileged helpers' files below `system_root` (/): /Library/LaunchDaemons/<label>.plist
// and /Library/PrivilegedHelperTools/<label>, for each daemon label.
[[nodiscard]] TraceSurvey survey_system_traces(const std::string& system_root,
                                               const std::vector<std::string>& labels);

// Removes `trace`, reached again from `base` (the home, or the system's root) one folder at a
// time. False when it was gone already; throws fs_error.
[[nodiscard]] bool remove_trace(const std::string& base, const AppTrace& trace);

// Whether `trace` is gone (done), still there (left), or cannot be examined (cannot tell, with
// why in `why`).
[[nodiscard]] Check trace_state(const std::string& base, const AppTrace& trace, Problem& why);

// A launch agent's label, and the program it starts (Program, or ProgramArguments' first).
struct LaunchAgent {
    std::string path;
    std::string label;
    std::string program;
};

// What reading a launch agent's property list found: the agent; or nothing, when the file is no
// agent (malformed, no label), or when the system kept it from being read, as `unreadable` says.
struct LaunchAgentRead {
    std::optional<LaunchAgent> agent;
    Problem unreadable;
};

// The launch agent defined by the file `name` in the open folder `dir`.
[[nodiscard]] LaunchAgentRead launch_agent_at(int dir, const std::string& folder,
                                              const std::string& name);

// The launch agent that the trace `trace` below `base` defines.
[[nodiscard]] LaunchAgentRead launch_agent_of(const std::string& base, const AppTrace& trace);

// The launch agents in `home`/Library/LaunchAgents whose program lies inside the bundle at
// `bundle_path`, whatever their names, as traces (their owner is their label, "" when it is not
// one to use): they would fail at every login once it is gone. A program is compared by where it
// leads, not as it is spelt. The folder or an agent that cannot be examined is `unexamined`.
[[nodiscard]] TraceSurvey launch_agents_into(const std::string& home,
                                             const std::string& bundle_path);

// Whose home the commands are for: `uid`, and whether this process is root working there, when
// a command that acts on the user's own session must run as that user.
struct UserOfHome {
    uid_t uid = 0;
    bool acting_as_root = false;
};

// launchctl bootout <domain>/<label>: stops a job before its file goes.
[[nodiscard]] std::vector<std::string> stop_job_command(const platform::SystemTools& tools,
                                                        const std::string& domain,
                                                        const std::string& label);
// launchctl print <domain>/<label>: succeeds while the job is loaded.
[[nodiscard]] std::vector<std::string> job_loaded_command(const platform::SystemTools& tools,
                                                          const std::string& domain,
                                                          const std::string& label);
// The user's own launchd domain: gui/<uid> while the user is logged in, user/<uid> otherwise (at
// the login window, or over SSH), where launchd keeps the user's jobs then.
[[nodiscard]] std::string user_domain(const UserOfHome& user, bool logged_in = true);
// The preferences domain that the preferences trace `trace` holds: its name without ".plist"; for
// a ByHost file, its owner's, but only when the file is this Mac's, named with `host_uuid` (one
// copied from another Mac is not reached by `defaults -currentHost`). Empty for none.
[[nodiscard]] std::string preferences_domain(const AppTrace& trace, const std::string& host_uuid);
// defaults [-currentHost] delete <domain>: through the preferences system, whose cfprefsd would
// otherwise hand the old values to a reinstalled app, or write the file back, until logout.
[[nodiscard]] std::vector<std::string> forget_preferences_command(
    const platform::SystemTools& tools, const UserOfHome& user, const std::string& domain,
    bool this_host);
// sfltool dumpbtm: what Background Task Management lists under Login Items for the user.
[[nodiscard]] std::vector<std::string> background_items_command(const platform::SystemTools& tools,
                                                                const UserOfHome& user);
// lsregister -u <bundle>: no "Open With" entry or notification setting points at a deleted app.
[[nodiscard]] std::vector<std::string> unregister_command(const platform::SystemTools& tools,
                                                          const UserOfHome& user,
                                                          const std::string& bundle_path);

}  // namespace brinvast
