// SPDX-License-Identifier: MIT
// The system's programs as the engine starts them: what they inherit from us, what comes back,
// and the time limit that ends them together with whatever they started.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include "platform.h"
#include "test_tree.h"
#include "unique_fd.h"

namespace brinvast {
namespace {

using namespace testing;  // brinvast::testing: the shared tree helpers
using namespace std::chrono_literals;

std::vector<std::string> shell(const std::string& line) {
    return {"/bin/sh", "-c", line};
}

// The last row's shell and the sleep it leaves in the background both hold the FIFO "held" open
// for writing: the reader sees it hang up once neither is left.
TEST(RunProgram, StartsProgramsCleanAndEndsThemWithEverythingTheyStarted) {
    TempDir tmp;
    // What a library or the front end may leave behind: a descriptor without O_CLOEXEC, and
    // SIGINT ignored.
    const unique_fd ours(::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(ours.valid());
    ASSERT_EQ(::mkfifo((tmp / "held").c_str(), 0600), 0);
    const unique_fd held(::open((tmp / "held").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(held.valid());
    const std::string forever =
        "exec 3>'" + tmp / "held" + "'; sleep 1000 & echo $! >'" + tmp / "pid" + "'; sleep 1000";
    const struct {
        std::vector<std::string> command;
        std::chrono::milliseconds limit;
        std::tuple<int, bool, int, std::string> run;  // status, timed out, error, output
    } cases[] = {
        {shell("echo said; echo complained >&2; exit 3"), 30s, {3, false, 0, "said\ncomplained\n"}},
        {shell("[ -e /dev/fd/" + std::to_string(ours.get()) + " ]"), 30s, {1, false, 0, ""}},
        {shell("[ -e /dev/fd/2 ]"), 30s, {0, false, 0, ""}},
        {shell("kill -INT $$"), 30s, {128 + SIGINT, false, 0, ""}},
        {{tmp / "missing"}, 30s, {-1, false, ENOENT, ""}},
        {shell(forever), 200ms, {128 + SIGKILL, true, 0, ""}},
    };
    const auto previous = ::signal(SIGINT, SIG_IGN);
    for (const auto& c : cases) {
        std::string output;
        const platform::ProgramRun run = platform::run_program(c.command, output, c.limit);
        EXPECT_EQ(std::tuple(run.status, run.timed_out, run.error.value(), output), c.run)
            << c.command.back();
    }
    ::signal(SIGINT, previous);
    ASSERT_NE(read_text(tmp / "pid"), "") << "the sleep in the background had started";
    pollfd hangup{held.get(), POLLIN, 0};
    EXPECT_EQ(::poll(&hangup, 1, 60000), 1) << "still held after a minute";
    EXPECT_NE(hangup.revents & POLLHUP, 0);
}

// Nothing may be decided on output that was cut: a run says when a program wrote more than it
// keeps.
TEST(RunProgram, SaysWhenItCutTheOutput) {
    constexpr std::size_t kept = 16 << 20;
    for (const std::size_t size : {kept, kept + 1}) {
        std::string output;
        const platform::ProgramRun run =
            platform::run_program(shell("head -c " + std::to_string(size) + " /dev/zero"), output);
        EXPECT_EQ(std::tuple(run.status, run.cut, output.size()), std::tuple(0, size > kept, kept));
    }
}

}  // namespace
}  // namespace brinvast
