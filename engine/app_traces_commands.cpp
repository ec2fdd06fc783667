// SPDX-License-Identifier: MIT
// The system's commands that the traces call for: launchctl's for launch jobs, defaults' for a
// preferences domain (a ByHost file's only on its own Mac), lsregister's for the removed app.
// Those that act on the user's session run as the user whose home it is.
#include "app_traces.h"

#include <string_view>

#include "names.h"

namespace brinvast {

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

std::string user_domain(const UserOfHome& user, bool logged_in) {
    return (logged_in ? "gui/" : "user/") + std::to_string(user.uid);
}

std::vector<std::string> stop_job_command(const platform::SystemTools& tools,
                                          const std::string& domain, const std::string& label) {
    if (tools.launchctl.empty()) return {};
    return {tools.launchctl, "bootout", domain + "/" + label};
}

std::vector<std::string> job_loaded_command(const platform::SystemTools& tools,
                                            const std::string& domain, const std::string& label) {
    if (tools.launchctl.empty()) return {};
    return {tools.launchctl, "print", domain + "/" + label};
}

std::string preferences_domain(const AppTrace& trace, const std::string& host_uuid) {
    constexpr std::string_view SUFFIX = ".plist";
    const std::string& name = trace.name;
    if (trace.kind == AppTrace::Kind::preferences && name_ends_with(name, SUFFIX))
        return name.substr(0, name.size() - SUFFIX.size());
    const std::size_t owner = trace.owner.size();
    if (trace.kind != AppTrace::Kind::host_preferences || host_uuid.empty() ||
        name.size() <= owner ||
        !same_name(std::string_view(name).substr(owner), "." + host_uuid + ".plist")) {
        return {};
    }
    return name.substr(0, owner);
}

std::vector<std::string> forget_preferences_command(const platform::SystemTools& tools,
                                                    const UserOfHome& user,
                                                    const std::string& domain, bool this_host) {
    std::vector<std::string> command{tools.defaults};
    if (this_host) command.emplace_back("-currentHost");
    command.insert(command.end(), {"delete", domain});
    return as_user(tools, user, std::move(command));
}

std::vector<std::string> background_items_command(const platform::SystemTools& tools,
                                                  const UserOfHome& user) {
    return as_user(tools, user, {tools.sfltool, "dumpbtm"});
}

std::vector<std::string> unregister_command(const platform::SystemTools& tools,
                                            const UserOfHome& user,
                                            const std::string& bundle_path) {
    return as_user(tools, user, {tools.lsregister, "-u", bundle_path});
}

}  // namespace brinvast
