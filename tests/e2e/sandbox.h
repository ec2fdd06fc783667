// SPDX-License-Identifier: MIT
#pragma once

// Runs scenarios of sandbox.sh from GoogleTest.

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "golden.h"
#include "test_tree.h"

extern char** environ;

namespace brinvast::testing {

// What a scenario left behind, with its temporary home written as "~".
struct Outcome {
    std::string status;  // the program's exit status as text, "none" when it never ran
    std::string out;
    std::string err;
    std::string state;
};

[[nodiscard]] inline int run_process(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    if (::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A private mount namespace for the fixed paths, a private network namespace for the abstract
// sockets of the sandbox's own X server, and a private process namespace, so that a stand-in
// for Brinvast in one sandbox is no running Brinvast to the programs in another.
inline const std::vector<std::string> unshare = {
    "unshare", "--mount", "--net", "--pid", "--fork", "--mount-proc", "--propagation", "private"};

[[nodiscard]] inline std::vector<std::string> in_namespaces(std::vector<std::string> command) {
    command.insert(command.begin(), unshare.begin(), unshare.end());
    return command;
}

class Sandbox : public ::testing::Test {
protected:
    void SetUp() override {
        if (run_process(in_namespaces({"true"})) == 0) return;
        if (std::getenv("CI") != nullptr) FAIL() << "unshare failed: no private namespaces";
        GTEST_SKIP() << "unshare failed: private mount and network namespaces are unavailable";
    }

    // Runs `scenario` (bash, with the helpers of sandbox.sh) in a fresh sandbox.
    [[nodiscard]] static Outcome sandboxed(const std::string& scenario) {
        const TempDir out;
        const int sandbox_status = run_process(in_namespaces(
            {"env", "CLI=" BRINVAST_CLI, "GUI=" BRINVAST_GUI, "CLOSE_WINDOW=" BRINVAST_CLOSE_WINDOW,
             "FIRST_THREAD_ENDS=" BRINVAST_FIRST_THREAD_ENDS, "PKEXEC=" BRINVAST_PKEXEC, "bash",
             BRINVAST_SANDBOX, out.path(), scenario}));
        EXPECT_EQ(sandbox_status, 0) << "the sandbox itself failed";
        const auto left = [&out](const char* name) {
            return replaced(read_text(out / name), out / "home", "~");
        };
        Outcome outcome{left("status"), left("stdout"), left("stderr"), left("state")};
        if (!outcome.status.empty()) outcome.status.pop_back();
        return outcome;
    }
};

// How a real run ends that failed before it changed anything.
inline const std::string failed_with_nothing_to_roll_back = R"(
============================================================
❌ Uninstall failed!
============================================================
⚠️  Attempting automatic rollback...
🔄 No rollback actions needed
)";

}  // namespace brinvast::testing
