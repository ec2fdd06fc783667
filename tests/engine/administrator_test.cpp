// SPDX-License-Identifier: MIT
// The commands that run our command line again as an administrator: every argument reaches the
// program as it was, through AppleScript and the shell, and a dismissed prompt is told apart from
// every other ending.

#include "administrator.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace brinvast {
namespace {

// Arguments that careless quoting would split, expand, run or cut short.
const std::vector<std::string> hostile = {
    "",
    "two  words",
    "it's",
    "\"quoted\"",
    "back\\slash \\\"",
    "$HOME $(id) `id`",
    "a;b|c&d *",
    "line\nbreak\r",
    "ü ✅ 🗂️ 名前",
    "-e",
    "%d\\n",
};

// What `sh -c command` printed, and its exit status.
std::pair<std::string, int> run_shell(const std::string& command) {
    FILE* shell = ::popen(command.c_str(), "r");
    std::string output;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, shell)) > 0;)
        output.append(buffer, got);
    const int status = ::pclose(shell);
    return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

std::string null_terminated(const std::vector<std::string>& words) {
    std::string joined;
    for (const std::string& word : words)
        joined += word + '\0';
    return joined;
}

// Reads an AppleScript string literal at the start of `source` as AppleScript does, and returns
// its text and what follows it; nothing when it has no end.
std::pair<std::string, std::string> read_applescript_literal(const std::string& source) {
    EXPECT_EQ(source.front(), '"');
    std::string text;
    for (std::size_t i = 1; i < source.size(); ++i) {
        if (source[i] == '"') return {text, source.substr(i + 1)};
        if (source[i] != '\\' || ++i == source.size()) {
            text += source[i];
            continue;
        }
        const char escaped = source[i];
        text += escaped == 'n' ? '\n' : escaped == 'r' ? '\r' : escaped == 't' ? '\t' : escaped;
    }
    ADD_FAILURE() << "the literal has no end: " << source;
    return {};
}

TEST(AdministratorCommand, ShellWordsReachTheProgramAsTheyWere) {
    std::string command = "printf '%s\\0'";
    for (const std::string& argument : hostile)
        command.append(" ").append(shell_quoted(argument));
    EXPECT_EQ(run_shell(command), std::pair(null_terminated(hostile), 0));
}

// The AppleScript literal is read back as AppleScript reads it, and the shell command in it is
// run as "do shell script" runs it; what osascript then prints goes back through
// osascript_outcome.
TEST(AdministratorCommand, OsascriptCarriesEveryArgumentAndTheExitStatus) {
    // A program that prints its arguments each ended by a null, says so on standard error, and
    // exits with 3.
    std::vector<std::string> arguments = {"-c", "printf '%s\\0' \"$@\"; echo printed >&2; exit 3",
                                          "sh"};
    arguments.insert(arguments.end(), hostile.begin(), hostile.end());
    const std::vector<std::string> command = osascript_command("/bin/sh", arguments);
    ASSERT_EQ(command.size(), 3U);
    EXPECT_EQ(command[0], "/usr/bin/osascript");
    EXPECT_EQ(command[1], "-e");
    const std::string opening = "do shell script ";
    ASSERT_EQ(command[2].substr(0, opening.size()), opening);
    EXPECT_EQ(command[2].find_first_of("\r\n"), std::string::npos) << "-e takes one line";

    const auto [shell, rest] = read_applescript_literal(command[2].substr(opening.size()));
    EXPECT_EQ(rest, " with administrator privileges without altering line endings");
    const auto [printed, shell_status] = run_shell(shell);
    EXPECT_EQ(shell_status, 0) << "AppleScript raises an error for any other status";
    const AdministratorRun run = osascript_outcome(0, printed + "\n");
    EXPECT_FALSE(run.cancelled);
    EXPECT_EQ(run.exit_status, 3);
    EXPECT_EQ(run.report, null_terminated(hostile) + "printed\n");
}

TEST(AdministratorCommand, OnlyADismissedPromptCountsAsCancelled) {
    const struct {
        AdministratorRun (*outcome)(int, const std::string&);
        int exit_status;
        const char* output;
        bool cancelled;
        int reported_status;
    } cases[] = {
        {osascript_outcome, 1, "0:241: execution error: User canceled. (-128)\n", true, 1},
        // The text is in the user's language; the number is not.
        {osascript_outcome, 1, "0:241: execution error: Abbruch durch den Benutzer. (-128)\n", true,
         1},
        {osascript_outcome, 1, "0:241: execution error: Not authorized. (-60005)\n", false, 1},
        {osascript_outcome, 0, "output without a status\n", false, 1},
        {pkexec_outcome, 126, "Error executing command as another user: Request dismissed\n", true,
         126},
        {pkexec_outcome, 127, "Error executing command as another user: Not authorized\n", false,
         127},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        const AdministratorRun run = c.outcome(c.exit_status, c.output);
        EXPECT_EQ(run.cancelled, c.cancelled);
        EXPECT_EQ(run.exit_status, c.reported_status);
        EXPECT_EQ(run.report, c.output);
    }
}

}  // namespace
}  // namespace brinvast
