// SPDX-License-Identifier: MIT
// The launch agents in the home: what each one starts, and which of them start a program inside
// the app's bundle, whatever their names; and where a path leads, by which such a program is told.
#include "app_traces.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ranges>
#include <string_view>

#include "info_plist.h"
#include "names.h"
#include "trace_base.h"
#include "unique_fd.h"

namespace brinvast {

LaunchAgentRead launch_agent_at(int dir, const std::string& folder, const std::string& name) {
    const PlistStrings agent =
        read_plist_strings(dir, name.c_str(), {"Label", "Program", "ProgramArguments"});
    const auto value = [&agent](const char* key) {
        const auto found = agent.values.find(key);
        return found == agent.values.end() ? std::string() : found->second;
    };
    const std::error_code& error = agent.problem.error;
    if (error && error != std::errc::no_such_file_or_directory &&
        error != std::errc::not_a_directory) {
        return {{}, agent.problem};
    }
    if (agent.problem || value("Label").empty()) return {};
    const std::string program = value("Program");
    return {LaunchAgent{folder + "/" + name, value("Label"),
                        program.empty() ? value("ProgramArguments") : program},
            {}};
}

LaunchAgentRead launch_agent_of(const std::string& base, const AppTrace& trace) {
    const Result<unique_fd> base_fd = open_base(base);
    const auto [dir, error] = open_listable(base_fd.value.get(), trace.folder.c_str());
    if (error) return {{}, {error.message(), error}};
    return launch_agent_at(dir.get(), base + "/" + trace.folder, trace.name);
}

TraceSurvey launch_agents_into(const std::string& home, const std::string& bundle_path) {
    TraceSurvey agents;
    const std::string folder = "Library/LaunchAgents";
    const Result<unique_fd> home_fd = open_base(home);
    const auto [dir, open_error] = open_listable(home_fd.value.get(), folder.c_str());
    std::vector<std::string> names;
    const std::error_code error = home_fd.error ? home_fd.error
                                  : open_error  ? open_error
                                                : names_in(dir.get(), names);
    if (error) {
        if (error != std::errc::no_such_file_or_directory && error != std::errc::not_a_directory)
            agents.unexamined.push_back(home + "/" + folder + ": " + error.message());
        return agents;
    }
    const std::string inside = resolved_path(bundle_path) + "/";
    for (const std::string& name : names) {
        if (!name_ends_with(name, ".plist")) continue;
        const LaunchAgentRead read = launch_agent_at(dir.get(), home + "/" + folder, name);
        if (read.unreadable)
            agents.unexamined.push_back(home + "/" + folder + "/" + name + ": " +
                                        read.unreadable.error.message());
        const std::optional<LaunchAgent>& agent = read.agent;
        if (!agent || !agent->program.starts_with('/') ||
            !name_starts_with(resolved_path(agent->program), inside)) {
            continue;
        }
        const std::string label = usable_name(agent->label) ? agent->label : std::string();
        agents.traces.push_back({agent->path, folder, name, label, AppTrace::Kind::launch_agent});
    }
    return agents;
}

namespace {

// Adds the components of `path` to `rest`, the first of them last, where it comes off first.
void push_components(std::string_view path, std::vector<std::string>& rest) {
    std::vector<std::string> parts;
    for (const auto part : std::views::split(path, '/')) {
        if (!part.empty()) parts.emplace_back(part.begin(), part.end());
    }
    rest.insert(rest.end(), parts.rbegin(), parts.rend());
}

// The target of the link at `path`; false when no link stands there.
bool link_at(const std::string& path, std::string& target) {
    char buffer[4096];
    const ssize_t length = ::readlink(path.c_str(), buffer, sizeof buffer);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer) return false;
    target.assign(buffer, static_cast<std::size_t>(length));
    return true;
}

}  // namespace

std::string resolved_path(const std::string& path) {
    constexpr int MAX_LINKS = 40;
    std::vector<std::string> rest;
    push_components(path, rest);
    std::string resolved;
    bool gone = false;  // past the last entry that stands
    for (int links = 0; !rest.empty();) {
        const std::string part = std::move(rest.back());
        rest.pop_back();
        if (part == "..") resolved.resize(std::min(resolved.size(), resolved.rfind('/')));
        if (part == "." || part == "..") continue;
        std::string next = resolved + "/" + part;
        std::string target;
        if (!gone && links < MAX_LINKS && link_at(next, target)) {
            ++links;
            if (target.starts_with('/')) resolved.clear();
            push_components(target, rest);
            continue;
        }
        struct stat status {};
        gone = gone || ::lstat(next.c_str(), &status) != 0;
        resolved = std::move(next);
    }
    return resolved.empty() ? "/" : resolved;
}

}  // namespace brinvast
