#include "processes.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "errors.h"

namespace brinvast {

namespace {

bool inside(const std::string& path, const std::string& directory) {
    return path.size() > directory.size() && path.starts_with(directory) &&
           path[directory.size()] == '/';
}

// The platform reports executables by their real paths, so the bundle is matched by its real
// path too, and by the path as given: a bundle already deleted has no real path any more.
std::vector<std::string> names_of(const std::string& bundle_path) {
    std::vector<std::string> names{bundle_path};
    while (names[0].size() > 1 && names[0].back() == '/')
        names[0].pop_back();
    const std::unique_ptr<char, decltype(&std::free)> resolved(
        ::realpath(bundle_path.c_str(), nullptr), &std::free);
    if (resolved && names[0] != resolved.get()) names.emplace_back(resolved.get());
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
    const int self = static_cast<int>(::getpid());
    std::erase_if(processes, [&](const platform::Process& process) {
        if (process.pid == self) return true;
        for (const std::string& name : names) {
            if (inside(process.executable, name)) return false;
        }
        return true;
    });
    std::ranges::sort(processes, {}, &platform::Process::pid);
    return processes;
}

}  // namespace brinvast
