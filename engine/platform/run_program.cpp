// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform.h"
#include "unique_fd.h"

extern char** environ;

namespace brinvast::platform {

namespace {

// Output beyond this is read and dropped, so that a chatty program neither blocks nor fills memory.
constexpr std::size_t OUTPUT_LIMIT = 64 * 1024;

}  // namespace

int run_program(const std::vector<std::string>& command, std::string& output) {
    int pipe_ends[2];
    if (command.empty() || ::pipe(pipe_ends) != 0) {
        if (command.empty()) errno = EINVAL;
        return -1;
    }
    unique_fd reading(pipe_ends[0]);
    unique_fd writing(pipe_ends[1]);
    (void)::fcntl(reading.get(), F_SETFD, FD_CLOEXEC);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, writing.get(), STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, writing.get(), STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    pid_t child = 0;
    const int spawned = ::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    writing.reset();
    if (spawned != 0) {
        errno = spawned;
        return -1;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(reading.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        if (output.size() < OUTPUT_LIMIT) output.append(buffer, static_cast<std::size_t>(got));
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace brinvast::platform
