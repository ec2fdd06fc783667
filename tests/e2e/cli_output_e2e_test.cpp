// SPDX-License-Identifier: MIT
// brinvast-uninstall end to end: standard output that takes nothing, a full disk or a pipe whose
// reader is gone before the first line.

#include <gtest/gtest.h>

#include "sandbox.h"

namespace brinvast::testing {
namespace {

using CliOutputEndToEnd = Sandbox;

// Output that is all the caller asked for fails the program; a real run's report does not.
TEST_F(CliOutputEndToEnd, OutputThatCannotBeWrittenFailsAllButARealRun) {
    const std::pair<const char*, const char*> cases[] = {
        {"--help", "the help text"},
        {"--version", "the version"},
        {"--dry-run", "the dry run's report"},
        {"--yes", nullptr},
    };
    // Descriptor 6 is a pipe whose reader is gone before the first line is written.
    const char* const dead_pipe =
        "mkfifo \"$out/pipe\"; exec 5<>\"$out/pipe\" 6>\"$out/pipe\" 5<&-; ";
    for (const auto& [arguments, lost] : cases) {
        for (const char* sink : {">/dev/full", ">&6"}) {
            SCOPED_TRACE(std::string(arguments) + " " + sink);
            const Outcome run =
                sandboxed(std::string("install_product; ") + dead_pipe + "\"$CLI\" " + arguments +
                          " " + sink + " 2>\"$out/stderr\"; status=$?");
            EXPECT_EQ(run.status, lost ? "5" : "0");
            EXPECT_EQ(run.err, lost ? std::string("brinvast-uninstall: ") + lost +
                                          " could not be written to standard output.\n"
                                    : "");
            EXPECT_EQ(run.state, expected(lost ? "installed" : "after_standard_run"));
        }
    }
}

}  // namespace
}  // namespace brinvast::testing
