// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <thread>

#include "platform.h"
#include "unique_fd.h"

extern char** environ;

namespace brinvast::platform {

namespace {

using Clock = std::chrono::steady_clock;

// Output beyond this is read and dropped, so that a chatty program neither blocks nor fills memory;
// the run says that it was cut. A receipt's list of files for a large package stays well below it.
constexpr std::size_t OUTPUT_LIMIT = 16 * 1024 * 1024;

// Both ends close on exec, so that no program started meanwhile by another thread holds the pipe
// open; the child's copies, made by dup2, do not.
std::error_code open_pipe(unique_fd& reading, unique_fd& writing) {
    int ends[2];
    if (::pipe(ends) != 0) return last_error();
    reading.reset(ends[0]);
    writing.reset(ends[1]);
    if (::fcntl(ends[0], F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(ends[1], F_SETFD, FD_CLOEXEC) != 0)
        return last_error();
    return {};
}

// The settings of one start: what the child's descriptors and signals are.
class SpawnSettings {
public:
    SpawnSettings() {
        attributes_ready_ = ::posix_spawnattr_init(&attributes_) == 0;
        actions_ready_ = ::posix_spawn_file_actions_init(&actions_) == 0;
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;
    ~SpawnSettings() {
        if (attributes_ready_) ::posix_spawnattr_destroy(&attributes_);
        if (actions_ready_) ::posix_spawn_file_actions_destroy(&actions_);
    }

    // 0, or the error that kept the settings from being made.
    [[nodiscard]] int prepare(int output_fd);
    [[nodiscard]] const posix_spawnattr_t* attributes() const { return &attributes_; }
    [[nodiscard]] const posix_spawn_file_actions_t* actions() const { return &actions_; }

private:
    [[nodiscard]] int prepare_signals_and_group();
    [[nodiscard]] int prepare_descriptors(int output_fd);

    posix_spawnattr_t attributes_{};
    posix_spawn_file_actions_t actions_{};
    bool attributes_ready_ = false;
    bool actions_ready_ = false;
};

int SpawnSettings::prepare(int output_fd) {
    if (!attributes_ready_ || !actions_ready_) return ENOMEM;
    const int error = prepare_signals_and_group();
    return error != 0 ? error : prepare_descriptors(output_fd);
}

// The uninstaller may ignore SIGINT or SIGPIPE, or block signals while it works; a program would
// inherit both. Its own process group lets a kill take whatever it starts in turn.
int SpawnSettings::prepare_signals_and_group() {
    short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
#if defined(POSIX_SPAWN_CLOEXEC_DEFAULT)
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;  // Apple's: every descriptor not named below closes
#endif
    sigset_t defaults;
    sigfillset(&defaults);
    sigdelset(&defaults, SIGKILL);
    sigdelset(&defaults, SIGSTOP);
    sigset_t none;
    sigemptyset(&none);
    int error = ::posix_spawnattr_setflags(&attributes_, flags);
    if (error == 0) error = ::posix_spawnattr_setpgroup(&attributes_, 0);
    if (error == 0) error = ::posix_spawnattr_setsigdefault(&attributes_, &defaults);
    if (error == 0) error = ::posix_spawnattr_setsigmask(&attributes_, &none);
    return error;
}

// A descriptor of ours that was opened without O_CLOEXEC (by a library, say) must not reach the
// program: it could keep a file, a lock or a pipe alive after we let it go.
int SpawnSettings::prepare_descriptors(int output_fd) {
    int error =
        ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (error == 0) error = ::posix_spawn_file_actions_adddup2(&actions_, output_fd, STDOUT_FILENO);
    if (error == 0) error = ::posix_spawn_file_actions_adddup2(&actions_, output_fd, STDERR_FILENO);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    if (error == 0)
        error = ::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
#elif !defined(POSIX_SPAWN_CLOEXEC_DEFAULT)
#error "no way to keep our descriptors from the programs we start"
#endif
    return error;
}

// Starts `command` with its output going to `output_fd`. 0, or the error that kept it from
// starting.
int start(const std::vector<std::string>& command, int output_fd, pid_t& child) {
    SpawnSettings settings;
    if (const int error = settings.prepare(output_fd); error != 0) return error;
    std::vector<char*> argv;
    for (const std::string& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    return ::posix_spawn(&child, argv[0], settings.actions(), settings.attributes(), argv.data(),
                         environ);
}

// The time left until `deadline`, in whole milliseconds rounded up, as poll() takes it.
int milliseconds_until(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
}

// Reads `reading` into `output` until every writer has closed it, up to OUTPUT_LIMIT; `cut` when
// more came. False when the deadline came first (or poll failed, which waits no longer either).
bool read_until_closed(int reading, std::string& output, bool& cut, Clock::time_point deadline) {
    char buffer[4096];
    for (;;) {
        pollfd ready{reading, POLLIN, 0};
        const int left = milliseconds_until(deadline);
        if (left == 0) return false;
        const int polled = ::poll(&ready, 1, left);
        if (polled < 0 && errno == EINTR) continue;
        if (polled < 0) return false;
        if (polled == 0) continue;  // the deadline is checked above
        const ssize_t got = ::read(reading, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return true;
        const auto size = static_cast<std::size_t>(got);
        const std::size_t kept =
            std::min(size, OUTPUT_LIMIT - std::min(OUTPUT_LIMIT, output.size()));
        output.append(buffer, kept);
        cut = cut || kept < size;
    }
}

enum class Wait { ended, running, lost };

// Reaps `child` if it ends before `deadline`: ended, with its wait status in `status`; running
// when the deadline came first; lost, with the error in `lost`, when it cannot be waited for
// (someone else reaped it). A program that closed its output may still run, and no call waits for
// a child with a time limit everywhere, so this looks, in growing steps.
Wait reap_before(pid_t child, int& status, Clock::time_point deadline, std::error_code& lost) {
    auto step = std::chrono::milliseconds(1);
    for (;;) {
        const pid_t ended = ::waitpid(child, &status, WNOHANG);
        if (ended == child) return Wait::ended;
        if (ended < 0 && errno != EINTR) {
            lost = last_error();
            return Wait::lost;
        }
        if (ended < 0) continue;
        const int left = milliseconds_until(deadline);
        if (left == 0) return Wait::running;
        std::this_thread::sleep_for(std::min(step, std::chrono::milliseconds(left)));
        step = std::min(step * 2, std::chrono::milliseconds(50));
    }
}

// Kills the process group of `child`, which it leads, and reaps the child. The child is still
// unreaped, so its id cannot have passed to another group meanwhile.
int kill_and_reap(pid_t child) {
    // The group is the child's from its start; were it gone, the child alone still ends.
    if (::kill(-child, SIGKILL) != 0) (void)::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

}  // namespace

ProgramRun run_program(const std::vector<std::string>& command, std::string& output,
                       std::chrono::milliseconds limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    unique_fd reading;
    unique_fd writing;
    if (command.empty())
        return {-1, false, false, std::make_error_code(std::errc::invalid_argument)};
    if (const std::error_code error = open_pipe(reading, writing)) return {-1, false, false, error};
    pid_t child = 0;
    const int error = start(command, writing.get(), child);
    writing.reset();
    if (error != 0) return {-1, false, false, {error, std::generic_category()}};
    ProgramRun run;
    int status = 0;
    std::error_code lost;
    const bool closed = read_until_closed(reading.get(), output, run.cut, deadline);
    const Wait wait = closed ? reap_before(child, status, deadline, lost) : Wait::running;
    if (wait == Wait::lost) return {-1, false, false, lost};
    run.timed_out = wait == Wait::running;
    if (run.timed_out) status = kill_and_reap(child);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

}  // namespace brinvast::platform
