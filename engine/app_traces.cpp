// SPDX-License-Identifier: MIT
#include "app_traces.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <string_view>

#include "fs.h"
#include "info_plist.h"
#include "unique_fd.h"

namespace brinvast {

namespace {

// How a name in a place is made from the identifier <id>.
enum class Naming {
    exact,            // <id><suffix>
    with_part,        // <id>.<part><suffix>, as ByHost adds the hardware's identifier
    exact_or_a_part,  // either: the vendor's own name space below <id>
};

struct Place {
    const char* folder;  // in ~/Library
    const char* suffix;
    Naming naming;
    AppTrace::Kind kind;
};

using Kind = AppTrace::Kind;
constexpr std::array<Place, 11> PLACES{{
    {"Preferences", ".plist", Naming::exact, Kind::preferences},
    {"Preferences/ByHost", ".plist", Naming::with_part, Kind::host_preferences},
    {"Caches", "", Naming::exact, Kind::data},
    {"HTTPStorages", "", Naming::exact, Kind::data},
    {"HTTPStorages", ".binarycookies", Naming::exact, Kind::data},
    {"WebKit", "", Naming::exact, Kind::data},
    {"Cookies", ".binarycookies", Naming::exact, Kind::data},
    {"Saved Application State", ".savedState", Naming::exact, Kind::data},
    {"Containers", "", Naming::exact, Kind::container},
    {"Application Scripts", "", Naming::exact, Kind::data},
    {"LaunchAgents", ".plist", Naming::exact_or_a_part, Kind::launch_agent},
}};

constexpr int DIRECTORY = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

bool named_for(std::string_view name, const std::string& identifier, const Place& place) {
    const std::string_view suffix = place.suffix;
    if (!name.starts_with(identifier) || !name.ends_with(suffix)) return false;
    const std::size_t rest = name.size() - identifier.size();
    if (rest == suffix.size()) return place.naming != Naming::with_part;
    // A part of its own between a dot and the suffix: "<id>2" is another app's.
    return place.naming != Naming::exact && rest > suffix.size() + 1 &&
           name[identifier.size()] == '.';
}

// The names in the open folder `dir`, sorted; empty when it cannot be listed.
std::vector<std::string> names_in(int dir) {
    std::vector<std::string> names;
    auto buffer = std::make_unique<platform::ListingBuffer>();
    platform::DirectoryListing listing(dir, *buffer);
    platform::DirectoryEntry entry;
    while (listing.next(entry) > 0)
        names.emplace_back(entry.name);
    std::ranges::sort(names);
    return names;
}

// The trace `name` in the open folder `dir`, measured; nothing when it is not there.
std::optional<AppTrace> trace_at(int dir, const std::string& folder, const std::string& name,
                                 Kind kind) {
    struct stat status {};
    if (::fstatat(dir, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    AppTrace trace{folder + "/" + name, kind, S_ISDIR(status.st_mode), S_ISLNK(status.st_mode)};
    if (!trace.directory) {
        trace.file_count = 1;
        trace.bytes = trace.link ? 0 : static_cast<std::uint64_t>(status.st_size);
        return trace;
    }
    try {
        const TreeTotals totals = survey_tree(trace.path);
        trace.file_count = totals.file_count;
        trace.bytes = totals.total_bytes;
    } catch (const std::system_error&) {
        // There, but not to be looked into (macOS guards containers): its removal says more.
    }
    return trace;
}

}  // namespace

std::vector<AppTrace> app_traces(const std::string& home, const std::string& identifier) {
    std::vector<AppTrace> traces;
    for (const Place& place : PLACES) {
        const std::string folder = home + "/Library/" + place.folder;
        const unique_fd dir(::open(folder.c_str(), DIRECTORY));
        if (!dir.valid()) continue;
        std::vector<std::string> names{identifier + place.suffix};
        if (place.naming != Naming::exact) names = names_in(dir.get());
        for (const std::string& name : names) {
            if (!named_for(name, identifier, place)) continue;
            if (std::optional<AppTrace> trace = trace_at(dir.get(), folder, name, place.kind)) {
                traces.push_back(std::move(*trace));
            }
        }
    }
    return traces;
}

std::vector<std::string> other_copies(const std::string& app_path, const std::string& home,
                                      const std::string& identifier) {
    std::string name;
    std::vector<std::string> copies;
    for (const std::string& folder : {parent_of(app_path, name), home + "/Applications"}) {
        const unique_fd dir(::open(folder.c_str(), DIRECTORY));
        if (!dir.valid()) continue;
        for (const std::string& entry : names_in(dir.get())) {
            const std::string path = folder + "/" + entry;
            if (!entry.ends_with(".app") || path == app_path) continue;
            if (bundle_identifier(path).identifier == identifier) copies.push_back(path);
        }
    }
    return copies;
}

std::optional<LaunchAgent> launch_agent_at(const std::string& path) {
    std::string name;
    const unique_fd dir(::open(parent_of(path, name).c_str(), DIRECTORY));
    if (!dir.valid()) return std::nullopt;
    const PlistStrings agent =
        read_plist_strings(dir.get(), name.c_str(), {"Label", "Program", "ProgramArguments"});
    const auto value = [&agent](const char* key) {
        const auto found = agent.values.find(key);
        return found == agent.values.end() ? std::string() : found->second;
    };
    if (!agent.problem.empty() || value("Label").empty()) return std::nullopt;
    const std::string program = value("Program");
    return LaunchAgent{path, value("Label"), program.empty() ? value("ProgramArguments") : program};
}

std::vector<LaunchAgent> launch_agents_into(const std::string& home,
                                            const std::string& bundle_path) {
    std::vector<LaunchAgent> agents;
    const std::string folder = home + "/Library/LaunchAgents";
    const unique_fd dir(::open(folder.c_str(), DIRECTORY));
    if (!dir.valid()) return agents;
    for (const std::string& name : names_in(dir.get())) {
        if (!name.ends_with(".plist")) continue;
        std::optional<LaunchAgent> agent = launch_agent_at(folder + "/" + name);
        if (agent && agent->program.starts_with(bundle_path + "/")) {
            agents.push_back(std::move(*agent));
        }
    }
    return agents;
}

namespace {

// `command` as the user whose home it is: root's own would act on root's session.
std::vector<std::string> as_user(const platform::SystemTools& tools, const UserOfHome& user,
                                 std::vector<std::string> command) {
    if (command.front().empty()) return {};
    if (!user.acting_as_root) return command;
    if (tools.launchctl.empty() || tools.sudo.empty()) return {};
    const std::string uid = std::to_string(user.uid);
    std::vector<std::string> as{tools.launchctl, "asuser", uid, tools.sudo, "-u", "#" + uid};
    as.insert(as.end(), command.begin(), command.end());
    return as;
}

}  // namespace

std::vector<std::string> stop_agent_command(const platform::SystemTools& tools,
                                            const UserOfHome& user, const std::string& label) {
    if (tools.launchctl.empty()) return {};
    return {tools.launchctl, "bootout", "gui/" + std::to_string(user.uid) + "/" + label};
}

std::vector<std::string> forget_preferences_command(const platform::SystemTools& tools,
                                                    const UserOfHome& user,
                                                    const std::string& identifier, bool this_host) {
    std::vector<std::string> command{tools.defaults};
    if (this_host) command.emplace_back("-currentHost");
    command.insert(command.end(), {"delete", identifier});
    return as_user(tools, user, std::move(command));
}

std::vector<std::string> unregister_command(const platform::SystemTools& tools,
                                            const UserOfHome& user,
                                            const std::string& bundle_path) {
    return as_user(tools, user, {tools.lsregister, "-u", bundle_path});
}

}  // namespace brinvast
