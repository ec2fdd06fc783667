// SPDX-License-Identifier: MIT
#include "processes.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "fs.h"

namespace brinvast {

namespace {

bool inside(const std::string& path, const std::string& directory) {
    return path.size() > directory.size() && path.starts_with(directory) &&
           path[directory.size()] == '/';
}

// The platform reports executables by their real paths, so the bundle is matched by its real
// path too, and by the path as given: a bundle already deleted has no real path any more.
std::vector<std::string> names_of(std::string bundle_path) {
    while (bundle_path.size() > 1 && bundle_path.back() == '/')
        bundle_path.pop_back();
    std::vector<std::string> names{bundle_path};
    if (std::string resolved = real_path(bundle_path); resolved != bundle_path)
        names.push_back(std::move(resolved));
    return names;
}

// Where the executable of a process on a mirror lies in the folder mirrored: the mirrored folder
// itself with the part of the path below the mirror's mount point.
std::string mirrored_path(const platform::Process& process) {
    if (process.mirrored_from.empty() || !inside(process.executable, process.mirror_at)) return {};
    return process.mirrored_from + process.executable.substr(process.mirror_at.size());
}

bool runs_from(const platform::Process& process, const std::vector<std::string>& names,
               const std::vector<FileId>& executables) {
    const auto in_bundle = [&names](const std::string& path) {
        return std::ranges::any_of(
            names, [&](const std::string& name) { return path == name || inside(path, name); });
    };
    const auto bundle_file = [&executables](dev_t device, ino_t inode) {
        return std::ranges::binary_search(executables, FileId{device, inode});
    };
    if (bundle_file(process.device, process.inode) || in_bundle(process.executable)) return true;
    // A translocated app runs from a mirror of the bundle itself, under a name of its own.
    return !process.mirrored_from.empty() &&
           (in_bundle(process.mirrored_from) || in_bundle(mirrored_path(process)) ||
            bundle_file(process.mirrored_device, process.inode));
}

}  // namespace

std::vector<platform::Process> running_from(const std::string& bundle_path,
                                            std::vector<platform::Process> processes) {
    const std::vector<std::string> names = names_of(bundle_path);
    // Another path to one of the bundle's executables (a hard link, a bind mount of the folder)
    // still runs the bundle's code.
    const std::vector<FileId> executables = executables_in(bundle_path);
    const int self = static_cast<int>(::getpid());
    std::erase_if(processes, [&](const platform::Process& process) {
        return process.pid == self || !runs_from(process, names, executables);
    });
    std::ranges::sort(processes, {}, &platform::Process::pid);
    return processes;
}

Result<std::vector<platform::Process>> processes_running_from(const std::string& bundle_path) {
    auto [processes, error] = platform::running_processes();
    if (error) return {{}, error};
    // This process is always among them: a listing without it saw nothing it could vouch for.
    const int self = static_cast<int>(::getpid());
    if (std::ranges::none_of(processes,
                             [self](const auto& process) { return process.pid == self; }))
        return {{}, std::make_error_code(std::errc::no_such_process)};
    return {running_from(bundle_path, std::move(processes)), {}};
}

}  // namespace brinvast
