// SPDX-License-Identifier: MIT
// While Brinvast runs from the bundle, neither program touches anything and both say which
// process stands in the way; once it has quit, the same command succeeds.

#include <gmock/gmock.h>

#include "sandbox.h"

namespace brinvast::testing {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using RunningBrinvastEndToEnd = Sandbox;

std::vector<std::string> parts_of(const std::string& text) {
    std::vector<std::string> parts;
    std::string::size_type at = 0;
    for (auto next = text.find("----\n"); next != std::string::npos;
         at = next + 5, next = text.find("----\n", at)) {
        parts.push_back(text.substr(at, next - at));
    }
    parts.push_back(text.substr(at));
    return parts;
}

TEST_F(RunningBrinvastEndToEnd, CommandLineRefusesWithFourUntilBrinvastHasQuit) {
    // The stand-in's pid, then each report and the state while it ran behind a "----" line.
    const Outcome run = sandboxed("install_product; runs_until_brinvast_quits");
    EXPECT_EQ(run.status, "4 4 - 0") << "the dry run's status is the real run's";
    const std::vector<std::string> parts = parts_of(run.out);
    ASSERT_EQ(parts.size(), 5u) << run.out;
    const std::string running =
        "Brinvast is running (pid " + parts[0].substr(0, parts[0].size() - 1) +
        ", user root): /Applications/Brinvast.app/Contents/MacOS/Brinvast\n";
    EXPECT_THAT(parts[1], HasSubstr("\n⚠️  " + running +
                                    "   A real run refuses until Brinvast has quit\n"));
    EXPECT_THAT(parts[1], HasSubstr("🎉 Uninstall completed successfully!"));
    EXPECT_THAT(parts[2],
                EndsWith("\n❌ " + running + "   Quit Brinvast, then run the uninstaller again\n" +
                         failed_with_nothing_to_roll_back));
    EXPECT_THAT(parts[3], HasSubstr("/Applications/Brinvast.app/Contents/Info.plist: <plist"));
    EXPECT_THAT(parts[3], HasSubstr("/Database/Brinvast.db: live database\n"));
    EXPECT_THAT(parts[4], HasSubstr("🎉 Uninstall completed successfully!"));
    EXPECT_EQ(run.state, expected("after_standard_run"));
}

// Brinvast runs the bundle's code however it was started: through a bind mount of
// /Applications, from a hard link elsewhere, with its first thread gone, or by another user (whose
// session's Brinvast would crash as its bundle went).
TEST_F(RunningBrinvastEndToEnd, AnyPathToTheBundlesCodeAndAnyUserCounts) {
    const struct {
        const char* start;
        const char* shown;  // where and whose the line says it is
    } cases[] = {
        {"mkdir \"$HOME/apps\"; mount --bind /Applications \"$HOME/apps\";"
         " start_brinvast /bin/sleep \"$HOME/apps/Brinvast.app/Contents/MacOS/Brinvast\"",
         "user root): ~/apps/Brinvast.app/Contents/MacOS/Brinvast"},
        {"install -m 0755 /bin/sleep \"$brinvast_executable\";"
         " ln \"$brinvast_executable\" /Applications/Other.app/helper;"
         " run_brinvast /Applications/Other.app/helper",
         "user root): /Applications/Other.app/helper"},
        {"start_brinvast \"$FIRST_THREAD_ENDS\"; until grep -q '^State:.*zombie'"
         " /proc/$brinvast_pid/status; do sleep 0.05; done",
         "user root): /Applications/Brinvast.app/Contents/MacOS/Brinvast"},
        {"install -m 0755 /bin/sleep \"$brinvast_executable\"; run_brinvast"
         " \"$brinvast_executable\" setpriv --reuid=65534 --regid=65534 --clear-groups",
         "user nobody): /Applications/Brinvast.app/Contents/MacOS/Brinvast"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.start);
        const Outcome run = sandboxed(std::string("install_product; ") + c.start +
                                      "; cli --yes; echo \"$brinvast_pid\" >>\"$out/stdout\"");
        EXPECT_EQ(run.status, "4");
        const auto last_line = run.out.rfind('\n', run.out.size() - 2);
        ASSERT_NE(last_line, std::string::npos);
        const std::string pid = run.out.substr(last_line + 1, run.out.size() - last_line - 2);
        EXPECT_THAT(run.out, HasSubstr("\n❌ Brinvast is running (pid " + pid + ", " + c.shown +
                                       "\n   Quit Brinvast, then run the uninstaller again\n"));
        EXPECT_THAT(run.state, HasSubstr("/Applications/Brinvast.app/Contents/Info.plist: "));
        EXPECT_THAT(run.state, HasSubstr("/Database/Brinvast.db: live database\n"));
    }
}

// With no process list to read (over /proc a folder that nobody may list, and the program run
// as nobody), nobody can tell that Brinvast is not running: a real run refuses, a dry run warns.
// /proc/self still leads to a process file system, which the sanitizers read; the leak checker,
// which lists /proc as well, stays out of it.
TEST_F(RunningBrinvastEndToEnd, WhenNobodyCanTellARealRunRefuses) {
    const std::string as_nobody_without_proc = "install_product; cli_as_nobody_without_proc ";
    const std::string unknown =
        "Cannot tell whether Brinvast is running: Cannot list the running processes: Permission "
        "denied\n";
    const Outcome real = sandboxed(as_nobody_without_proc + "--yes");
    EXPECT_EQ(real.status, "1");
    EXPECT_THAT(real.out, HasSubstr("\n❌ " + unknown + "\n" + std::string(60, '=')));
    EXPECT_EQ(real.state, expected("installed"));

    const Outcome dry = sandboxed(as_nobody_without_proc + "--dry-run");
    EXPECT_EQ(dry.status, "1");
    EXPECT_THAT(dry.out, HasSubstr("\n⚠️  " + unknown));
}

// The window's failure box comes; the report it carries says why; the window stays.
TEST_F(RunningBrinvastEndToEnd, WindowReportsTheFailureAndChangesNothing) {
    const Outcome run = sandboxed(
        R"(install_product; start_brinvast; start_gui; click standard;
           answer 'Confirm Standard Uninstall' alt+y; answer 'Uninstall Failed' Return;
           close_gui; echo "$brinvast_pid" >>"$out/stdout")");
    EXPECT_EQ(run.status, "0");
    const auto last_line = run.out.rfind('\n', run.out.size() - 2);
    ASSERT_NE(last_line, std::string::npos);
    const std::string pid = run.out.substr(last_line + 1, run.out.size() - last_line - 2);
    EXPECT_THAT(run.out, HasSubstr("\n❌ Brinvast is running (pid " + pid + ", user root): "));
    EXPECT_THAT(run.out, HasSubstr("🔄 No rollback actions needed\n"));
    EXPECT_THAT(run.state, HasSubstr("/Database/Brinvast.db: live database\n"));
    EXPECT_THAT(run.state, HasSubstr("/Applications/Brinvast.app/Contents/Info.plist: <plist"));
}

}  // namespace
}  // namespace brinvast::testing
