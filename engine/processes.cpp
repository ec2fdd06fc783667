#include "processes.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "errors.h"
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

}  // namespace

std::vector<platform::Process> processes_running_from(const std::string& bundle_path) {
    std::vector<platform::Process> processes;
    if (!platform::running_processes(processes)) {
        const int error = errno;
        throw fs_error(error, "Cannot list the running processes", std::strerror(error));
    }
    const std::vector<std::string> names = names_of(bundle_path);
    // Another path to one of the bundle's executables (a hard link, a bind mount of the folder)
    // still runs the bundle's code.
    const std::vector<FileId> executables = executables_in(bundle_path);
    const int self = static_cast<int>(::getpid());
    std::erase_if(processes, [&](const platform::Process& process) {
        if (process.pid == self) return true;
        if (std::ranges::binary_search(executables, FileId{process.device, process.inode})) {
            return false;
        }
        return std::ranges::none_of(
            names, [&](const std::string& name) { return inside(process.executable, name); });
    });
    std::ranges::sort(processes, {}, &platform::Process::pid);
    return processes;
}

}  // namespace brinvast
