// SPDX-License-Identifier: MIT
// pkexec PROGRAM [ARGUMENT...]
//
// A stand-in for polkit's pkexec, installed set-user-id root in the sandbox. It notes its
// arguments, one call a line, in the file $PKEXEC_CALLS, then answers as $PKEXEC_ANSWER says:
// unset, as an administrator who agreed (it runs PROGRAM as root); "dismiss", as a user who
// dismissed the dialog; "refuse", as polkit refusing. The exit statuses and messages are
// pkexec's own.

#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string_view>

int main(int argc, char** argv) {
    if (const char* calls = std::getenv("PKEXEC_CALLS")) {
        std::ofstream record(calls, std::ios::app);
        for (int i = 1; i < argc; ++i)
            record << (i > 1 ? " " : "") << argv[i];
        record << '\n';
    }
    const char* answer = std::getenv("PKEXEC_ANSWER");
    const std::string_view how = answer != nullptr ? answer : "";
    if (how == "dismiss") {
        std::fputs("Error executing command as another user: Request dismissed\n", stderr);
        return 126;
    }
    if (how == "refuse") {
        std::fputs(
            "Error executing command as another user: Not authorized\n\n"
            "This incident has been reported.\n",
            stderr);
        return 127;
    }
    if (::setgid(0) != 0 || ::setgroups(0, nullptr) != 0 || ::setuid(0) != 0) {
        std::perror("pkexec");
        return 127;
    }
    ::execv(argv[1], argv + 1);
    std::perror("pkexec");
    return 127;
}
