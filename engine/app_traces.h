// SPDX-License-Identifier: MIT
#pragma once

// What macOS keeps for an app in its user's home, under names made from the app's bundle
// identifier: its preferences, caches, web storage, saved windows, sandbox container and launch
// agents. A reinstalled app finds them again, so complete removal deletes them too; but only
// by exact names, never by the product's name or by a part of the identifier, so that nothing of
// another app's goes with them. A link at such a name is the trace itself: it is removed as a
// link, and nothing it leads to is looked at.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform.h"

namespace brinvast {

// One thing macOS keeps for the app.
struct AppTrace {
    enum class Kind { preferences, host_preferences, launch_agent, container, data };
    std::string path;
    Kind kind = Kind::data;
    bool directory = false;  // a real directory, to be removed as a tree
    bool link = false;       // a link, removed as a link
    std::uint64_t file_count = 0;
    std::uint64_t bytes = 0;
};

// The traces of the app `identifier` in `home`, place by place in a fixed order and by name
// within a place. A place that cannot be examined is left out: removing it would meet the same.
[[nodiscard]] std::vector<AppTrace> app_traces(const std::string& home,
                                               const std::string& identifier);

// The other bundles with the same identifier: at the first level of `applications` (the folder
// that holds `app_path`) and of `home`/Applications. Their data is the traces' too.
[[nodiscard]] std::vector<std::string> other_copies(const std::string& app_path,
                                                    const std::string& home,
                                                    const std::string& identifier);

// A launch agent's label, and the program it starts (Program, or ProgramArguments' first).
struct LaunchAgent {
    std::string path;
    std::string label;
    std::string program;
};

// The launch agent defined by the file at `path`; nothing when it is no readable agent.
[[nodiscard]] std::optional<LaunchAgent> launch_agent_at(const std::string& path);

// The launch agents in `home`/Library/LaunchAgents whose program lies inside the bundle at
// `bundle_path`, whatever their names: they would fail at every login once it is gone.
[[nodiscard]] std::vector<LaunchAgent> launch_agents_into(const std::string& home,
                                                          const std::string& bundle_path);

// Whose home the commands are for: `uid`, and whether this process is root working there, when
// a command that acts on the user's own session must run as that user.
struct UserOfHome {
    uid_t uid = 0;
    bool acting_as_root = false;
};

// launchctl bootout gui/<uid>/<label>: stops the agent before its file goes.
[[nodiscard]] std::vector<std::string> stop_agent_command(const platform::SystemTools& tools,
                                                          const UserOfHome& user,
                                                          const std::string& label);
// defaults [-currentHost] delete <id>: through the preferences system, whose cfprefsd would
// otherwise hand the old values to a reinstalled app, or write the file back, until logout.
[[nodiscard]] std::vector<std::string> forget_preferences_command(
    const platform::SystemTools& tools, const UserOfHome& user, const std::string& identifier,
    bool this_host);
// lsregister -u <bundle>: no "Open With" entry or notification setting points at a deleted app.
[[nodiscard]] std::vector<std::string> unregister_command(const platform::SystemTools& tools,
                                                          const UserOfHome& user,
                                                          const std::string& bundle_path);

}  // namespace brinvast
