// SPDX-License-Identifier: MIT
// brinvast-uninstall end to end: the real executable over a real product in a sandbox.

#include <gmock/gmock.h>

#include <nlohmann/json.hpp>
#include <tuple>

#include "sandbox.h"

namespace brinvast::testing {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using CliEndToEnd = Sandbox;

TEST_F(CliEndToEnd, RunsPrintTheTypicalReportAndLeaveTheMachineAsPromised) {
    const struct {
        const char* arguments;
        const char* report;
        const char* state;
    } cases[] = {
        {"--yes", "typical_standard_run", "after_standard_run"},
        {"--complete --yes", "typical_complete_removal", "after_complete_removal"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const Outcome run = sandboxed(std::string("install_product; cli ") + c.arguments);
        EXPECT_EQ(run.status, "0");
        EXPECT_EQ(run.out, expected(c.report));
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.state, expected(c.state));
    }
}

TEST_F(CliEndToEnd, AlreadyCleanMachineIsReportedAndSucceeds) {
    for (const char* mode : {"", "--complete"}) {
        SCOPED_TRACE(mode);
        const Outcome run = sandboxed(std::string("cli --yes ") + mode);
        EXPECT_EQ(run.status, "0");
        EXPECT_EQ(run.out, expected(*mode ? "already_clean_complete" : "already_clean"));
    }
}

TEST_F(CliEndToEnd, DryRunsChangeNothingInEitherMode) {
    const struct {
        const char* arguments;
        const char* flags;
        const char* preview;
    } cases[] = {
        {"--dry-run", "(dry_run=True, force=False, clean_all=False)",
         "✅ DRY RUN: Would rename ~/Library/Application Support/Brinvast/Database/Brinvast.db to "
         "~/Library/Application Support/Brinvast/Database/Brinvast_Previous.db\n"},
        {"--dry-run --complete --yes", "(dry_run=True, force=True, clean_all=True)",
         "✅ DRY RUN: Would remove directory: ~/Documents/Brinvast\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const Outcome run = sandboxed(std::string("install_product; cli ") + c.arguments);
        EXPECT_EQ(run.status, "0");
        EXPECT_THAT(run.out, StartsWith(std::string("🚀 Brinvast Uninstaller initialized ") +
                                        c.flags + "\n\n"));
        EXPECT_THAT(run.out, HasSubstr("🔍 Running in DRY RUN mode - no changes will be made\n"));
        EXPECT_THAT(run.out,
                    HasSubstr("✅ DRY RUN: Would remove application: /Applications/Brinvast.app\n"));
        EXPECT_THAT(run.out, HasSubstr(c.preview));
        EXPECT_THAT(run.out, EndsWith("\n🚀 System is ready for fresh Brinvast installation\n"));
        EXPECT_EQ(run.state, expected("installed"));
    }
}

// At a terminal the questions and the report share the screen, so `said` may be either.
TEST_F(CliEndToEnd, RemovalNeedsConsent) {
    const struct {
        const char* scenario;
        const char* status;
        const char* said;
        const char* state;
    } cases[] = {
        {"cli", "2", "brinvast-uninstall: nothing was changed: a removal needs consent.",
         "installed"},
        {"at_terminal n", "2", "Confirm Standard Uninstall", "installed"},
        {"at_terminal ''", "2", "Cancelled: nothing was changed.", "installed"},
        {"at_terminal yes", "0", "Proceed?\r\n[y/N] ", "after_standard_run"},
        {"at_terminal y --complete", "2", "FINAL WARNING", "installed"},
        {"at_terminal 'y\\nyes' --complete", "0", "Are you absolutely sure?\r\n[y/N] ",
         "after_complete_removal"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario);
        const Outcome run = sandboxed(std::string("install_product; ") + c.scenario);
        EXPECT_EQ(run.status, c.status);
        EXPECT_THAT(run.err + run.out, HasSubstr(c.said));
        EXPECT_EQ(run.state, expected(c.state));
        if (run.status == "2") {
            EXPECT_THAT(run.out, Not(HasSubstr("initialized")));  // no engine was made
        }
    }
}

TEST_F(CliEndToEnd, OptionsAreAnsweredWithoutRemovingAnything) {
    const struct {
        const char* arguments;
        const char* status;
        const char* out;
        const char* err;
    } cases[] = {
        {"--yes --force", "2", "",
         "brinvast-uninstall: unknown option '--force'\nTry 'brinvast-uninstall --help'.\n"},
        {"--yes --user root --user root", "2", "",
         "brinvast-uninstall: option '--user' given more than once\n"
         "Try 'brinvast-uninstall --help'.\n"},
        {"--yes --help --user no-such-user --bogus", "0",
         "Usage: brinvast-uninstall [--dry-run] [--complete] [--check] [--yes]\n", ""},
        {"--user tester --all-users --dry-run", "2", "",
         "brinvast-uninstall: options '--user' and '--all-users' name different homes\n"
         "Try 'brinvast-uninstall --help'.\n"},
        {"--yes --version", "0", "brinvast-uninstall 1.0\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const Outcome run = sandboxed(std::string("install_product; cli ") + c.arguments);
        EXPECT_EQ(run.status, c.status);
        EXPECT_THAT(run.out, StartsWith(c.out));
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.state, expected("installed"));
    }
}

TEST_F(CliEndToEnd, FailedRunIsRolledBackAndExitsWithOne) {
    const Outcome run = sandboxed(
        "install_product; mv /Applications/Brinvast.app /Applications/Real.app;"
        " ln -s Real.app /Applications/Brinvast.app; cli --yes");
    EXPECT_EQ(run.status, "1");
    EXPECT_THAT(run.out, HasSubstr("\n📱 Step 1: Removing Application\n📱 Found Brinvast.app at: "
                                   "/Applications/Brinvast.app\n❌ Failed to remove application: "));
    EXPECT_THAT(run.out, Not(HasSubstr("Step 2")));
    EXPECT_THAT(run.out, EndsWith(failed_with_nothing_to_roll_back));
    EXPECT_THAT(run.state, HasSubstr("/Applications/Brinvast.app -> Real.app\n"));
    EXPECT_THAT(run.state, HasSubstr("/Applications/Real.app/Contents/MacOS/Brinvast: brinvast"));
    EXPECT_THAT(run.state, HasSubstr("/Database/Brinvast.db: live database\n"));
}

// The opening phase's metadata read of the database fails with EIO (strace injects it into the
// second stat of that path; the first one found the file): nothing in the engine handles that
// error, so it reaches the command line's guard.
TEST_F(CliEndToEnd, ErrorEscapingTheEngineExitsWithThreeAndChangesNothing) {
    const Outcome run = sandboxed(
        "install_product; cli_under_strace -P \"$db\" -e trace=%%stat -e "
        "inject=%%stat:error=EIO:when=2");
    EXPECT_EQ(run.status, "3");
    EXPECT_EQ(
        run.err,
        "❌ Input/output error: ~/Library/Application Support/Brinvast/Database/Brinvast.db\n");
    EXPECT_THAT(run.out, EndsWith("\n📱 Found Brinvast.app at: /Applications/Brinvast.app\n"));
    EXPECT_EQ(run.state, expected("installed"));
}

// A user without a real home: HOME empty, relative, only "/" or unset, and no home in the user
// database (uid 4242 has no entry); or HOME naming a home that is not there or no folder, which
// the user database must not stand in for. The product's folders can't be found, so nothing is
// looked at and the reason goes to stderr. The program is copied where that user may run it: the
// build tree may lie in a folder only root can enter.
TEST_F(CliEndToEnd, WithoutAHomeDirectoryNothingIsLookedAt) {
    const std::string none =
        "No home directory: HOME is unset, empty, relative or \"/\", and the user database has "
        "no other home for this user";
    const std::string named = "HOME names no usable home directory: ";
    const std::pair<const char*, std::string> cases[] = {
        {"HOME=", none},
        {"HOME=Users/someone", none},
        {"HOME=/", none},
        {"-u HOME", none},
        {"HOME=/Users/gone", named + "No such file or directory: /Users/gone"},
        {"HOME=/mnt/cli", named + "Not a directory: /mnt/cli"},
    };
    for (const auto& [home, reason] : cases) {
        SCOPED_TRACE(home);
        const Outcome run =
            sandboxed(std::string("install_product; mount -t tmpfs -o mode=0755 cli /mnt;"
                                  " cp \"$CLI\" /mnt/cli; env ") +
                      home +
                      " setpriv --reuid=4242 --regid=4242 --clear-groups /mnt/cli --yes"
                      " </dev/null >\"$out/stdout\" 2>\"$out/stderr\"; status=$?");
        EXPECT_EQ(run.status, "2");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "brinvast-uninstall: nothing was changed: " + reason + ".\n");
        EXPECT_EQ(run.state, expected("installed"));
    }
}

// For scripts: --json writes one object that a JSON parser reads, after a success and after a
// failure; --check exits with 7 while anything of Brinvast is left, and then with 0; a dry run
// exits as the real run would, naming the cause.
TEST_F(CliEndToEnd, ScriptsReadWhatHappenedAndWhatIsLeft) {
    const nlohmann::json done = nlohmann::json::parse(
        sandboxed("install_product; put_traces; cli --complete --yes --json").out);
    EXPECT_EQ(done["format"], 1);
    EXPECT_EQ(done["exit_status"], 0);
    EXPECT_EQ(done["users"][0]["removed"][0]["path"], "/Applications/Brinvast.app");
    EXPECT_EQ(done["users"][0]["removed"].size(), 7U) << "the bundle, three folders, three traces";
    EXPECT_EQ(done["users"][0]["report"].back(),
              "🚀 System is ready for fresh Brinvast installation");

    const Outcome failing = sandboxed(
        "install_product; mv /Applications/Brinvast.app /Applications/Real.app;"
        " ln -s Real.app /Applications/Brinvast.app; cli --yes --json");
    const nlohmann::json failed = nlohmann::json::parse(failing.out);
    EXPECT_EQ(failing.status, "1");
    EXPECT_EQ(std::tuple(failed["outcome"], failed["exit_status"], failed["users"][0]["outcome"]),
              std::tuple("failed", 1, "failed"));

    const Outcome check = sandboxed(
        "install_product; cli --check; first=$status; cli --complete --yes; cli --check; "
        "status=\"$first $status\"");
    EXPECT_EQ(check.status, "7 0");
    EXPECT_EQ(check.out, "✅ Nothing of Brinvast is left for root (~)\n");

    const Outcome dry = sandboxed(
        "install_product; f=/Applications/Brinvast.app/Contents/MacOS/Brinvast; chattr +i $f; "
        "cli --dry-run; chattr -i $f");
    EXPECT_EQ(dry.status, "1");
    EXPECT_THAT(dry.out, HasSubstr("\n⚠️  A real run cannot remove /Applications/Brinvast.app: "
                                   "/Applications/Brinvast.app/Contents/MacOS/Brinvast is locked "
                                   "(immutable)\n"));
}

TEST_F(CliEndToEnd, ReaderThatGoesAwayDoesNotCutTheRunShort) {
    const struct {
        const char* scenario;
        const char* read;
    } cases[] = {
        {"\"$CLI\" --yes | head -n 1 >\"$out/stdout\"; status=${PIPESTATUS[0]}",
         "🚀 Brinvast Uninstaller initialized (dry_run=False, force=True, clean_all=False)\n"},
        // A pipe whose reader is gone before the first line is written.
        {"mkfifo \"$out/pipe\"; exec 5<>\"$out/pipe\" 6>\"$out/pipe\" 5<&-;"
         " \"$CLI\" --yes >&6; status=$?",
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario);
        const Outcome run = sandboxed(std::string("install_product; ") + c.scenario);
        EXPECT_EQ(run.status, "0");
        EXPECT_EQ(run.out, c.read);
        EXPECT_EQ(run.state, expected("after_standard_run"));
    }
}

}  // namespace
}  // namespace brinvast::testing
