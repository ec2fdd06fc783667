// SPDX-License-Identifier: MIT
// The launch agents in the home: what each one starts, and which of them start a program inside
// the app's bundle, whatever their names, told by where the program's path leads.
#include "app_traces.h"

#include "fs.h"
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
    const std::string inside = real_path(bundle_path) + "/";
    for (const std::string& name : names) {
        if (!name_ends_with(name, ".plist")) continue;
        const LaunchAgentRead read = launch_agent_at(dir.get(), home + "/" + folder, name);
        if (read.unreadable)
            agents.unexamined.push_back(home + "/" + folder + "/" + name + ": " +
                                        read.unreadable.error.message());
        const std::optional<LaunchAgent>& agent = read.agent;
        if (!agent || !agent->program.starts_with('/') ||
            !name_starts_with(real_path(agent->program), inside)) {
            continue;
        }
        const std::string label = usable_name(agent->label) ? agent->label : std::string();
        agents.traces.push_back({agent->path, folder, name, label, AppTrace::Kind::launch_agent});
    }
    return agents;
}

}  // namespace brinvast
