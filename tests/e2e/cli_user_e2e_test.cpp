// SPDX-License-Identifier: MIT
// brinvast-uninstall --user end to end: a user database of the sandbox's own, laid over the
// machine's, whose users live in temporary homes.

#include <gmock/gmock.h>

#include "sandbox.h"

namespace brinvast::testing {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using CliUserEndToEnd = Sandbox;

// The user database and homes of users_machine in sandbox.sh.
const std::string users = "users_machine; ";

// Runs twice, as management tools retry. `seen` gets what the outcome does not show: the owners
// of everything in tester's home, then the databases in the other homes.
TEST_F(CliUserEndToEnd, RootWorksOnTheNamedUsersHomeOnlyAndASecondRunFindsItClean) {
    for (const auto& [mode, state] :
         {std::pair{"", "after_standard_run"}, {"--complete", "after_complete_removal"}}) {
        SCOPED_TRACE(mode);
        const TempDir seen;
        const std::string run = std::string("by_root --user tester --yes ") + mode + ";";
        const Outcome twice = sandboxed(
            users + run + " first=$status; " + run + " status=\"$first $status\"\n" +
            "{ find \"$HOME\" -printf '%U:%G\\n' | sort -u; cat /home/{other,root}/'Library/"
            "Application Support/Brinvast/Database/Brinvast.db'; } >" +
            seen / "left");
        EXPECT_EQ(twice.status, "0 0");
        EXPECT_THAT(twice.out, HasSubstr("\n✅ System already clean - nothing to uninstall\n"));
        EXPECT_EQ(twice.err, "");
        EXPECT_EQ(twice.state, expected(state));
        EXPECT_EQ(read_text(seen / "left"), "1500:1500\nother's database\nroot's database\n");
    }
}

// tester points a folder of their home at other's: root, acting for tester, may do there only
// what tester could, so other's Brinvast files survive and the run fails.
TEST_F(CliUserEndToEnd, LinksInTheHomeLeadRootNowhereItsUserCouldNotGo) {
    const struct {
        const char* mode;
        const char* linked;  // the folder of tester's home that leads to other's
        const char* failure;
    } cases[] = {
        {"", "Library",
         "\n❌ Failed to backup database: Permission denied: ~/Library/Application "
         "Support/Brinvast/Database\n"},
        {"--complete", "Documents", "\n❌ Permission denied removing ~/Documents/Brinvast\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.linked);
        const std::string linked = std::string("\"$HOME/") + c.linked + "\"";
        const Outcome run =
            sandboxed(users + "put /home/other/Documents/Brinvast/notes.txt \"other's notes\";" +
                      " chown -R 1501:1501 /home/other; rm -rf " + linked + "; ln -s /home/other/" +
                      c.linked + " " + linked + "; chown -h 1500:1500 " + linked +
                      "; by_root --user tester --yes " + c.mode +
                      "; find /home/other -type f -exec head -qn1 {} + | sort >>\"$out/stdout\"");
        EXPECT_EQ(run.status, "1");
        EXPECT_THAT(run.out, HasSubstr(c.failure));
        EXPECT_THAT(run.out, EndsWith("\nother's database\nother's notes\n"));
    }
}

// tester's documents folder belongs to somebody else and to a group tester is in besides the
// primary one: root, acting for tester with all of tester's groups, may delete it as tester could.
TEST_F(CliUserEndToEnd, RootActsWithAllOfTheUsersGroups) {
    const Outcome run =
        sandboxed(users + "documents_of_a_shared_group; by_root --user tester --yes --complete");
    EXPECT_EQ(run.status, "0");
    EXPECT_EQ(run.state, expected("after_complete_removal"));
}

// Root whose HOME is a user's home, as sudo may leave it, acts there with that user's rights:
// killed in the middle of the move, it leaves nothing of root's in the home, and the user's own
// run puts the move right.
TEST_F(CliUserEndToEnd, RootInAUsersHomeLeavesNothingOfRootsThere) {
    const Outcome run = sandboxed(users + "root_killed_in_testers_home");
    EXPECT_EQ(run.status, "0");
    EXPECT_THAT(run.out,
                HasSubstr("\n🔄 Put back the older backup that an interrupted run had set aside: "));
    EXPECT_THAT(run.out, EndsWith("\n1500\n")) << "everything in the home is the user's";
}

// A switch to the user's rights that fails once the steps are done fails the run like any step:
// reported, and rolled back.
TEST_F(CliUserEndToEnd, AFailedSwitchAfterTheStepsIsRolledBack) {
    const Outcome run = sandboxed(users + "switch_refused_after_the_steps");
    EXPECT_EQ(run.status, "1") << run.err;
    EXPECT_THAT(run.out, HasSubstr("\n❌ Operation not permitted: acting as the home's owner, uid "
                                   "1500\n\n" +
                                   std::string(60, '=') + "\n❌ Uninstall failed!\n"));
    EXPECT_THAT(run.out, HasSubstr("\n🔄 Rolled back database rename\n"));
    EXPECT_THAT(run.state, HasSubstr("/Database/Brinvast.db: live database\n"));
}

TEST_F(CliUserEndToEnd, UsersThatMayNotBeServedAreRefusedBeforeAnythingIsLookedAt) {
    const struct {
        const char* setting;  // bash run before the program
        const char* user;
        const char* reason;
    } cases[] = {
        {"", "nosuchuser", "there is no user 'nosuchuser'"},
        {"", "_mbsetupuser",
         "'_mbsetupuser' is a system account (uid 248; regular users start at 1000)"},
        {"", "nohome", "'nohome' has no usable home directory: \"/\""},
        {"", "dothome", "'dothome' has no usable home directory: \"/.\""},
        {"", "blank", "'blank' has no usable home directory: \"\""},
        {"", "gone", "'gone' has no usable home directory: No such file or directory: /home/gone"},
        {"printf '#UID_MIN 100\\nUID_MIN\\t 0x7d0\\n' >\"$out/defs\";"
         " mount --bind \"$out/defs\" /etc/login.defs;",
         "tester", "'tester' is a system account (uid 1500; regular users start at 2000)"},
        {"mount --bind /dev/null /etc/login.defs;", "low",
         "'low' is a system account (uid 999; regular users start at 1000)"},
        {"", "nobody", "'nobody' is a system account (uid 65534; regular users end at 60000)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user);
        const Outcome run =
            sandboxed(users + c.setting + " by_root --user " + c.user + " --yes --complete");
        EXPECT_EQ(run.status, "2");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err,
                  std::string("brinvast-uninstall: nothing was changed: ") + c.reason + ".\n");
        EXPECT_EQ(run.state, expected("installed"));
    }
    EXPECT_EQ(sandboxed(users + "by_root --yes --user").err,
              "brinvast-uninstall: option '--user' needs a user name\n"
              "Try 'brinvast-uninstall --help'.\n");
    // Root names whose Brinvast it removes; a user without HOME has the user database's home.
    const std::pair<const char*, const char*> refused[] = {
        {"HOME=/root cli --yes",
         "brinvast-uninstall: as root, name the user: --user NAME, or --all-users\n"
         "Try 'brinvast-uninstall --help'.\n"},
        {"env -u HOME setpriv --reuid=1504 --regid=1504 --clear-groups \"$CLI\" --yes "
         "</dev/null >\"$out/stdout\" 2>\"$out/stderr\"; status=$?",
         "brinvast-uninstall: nothing was changed: The user database names no usable home "
         "directory: No such file or directory: /home/gone.\n"},
    };
    for (const auto& [scenario, err] : refused) {
        const Outcome run = sandboxed(users + scenario);
        EXPECT_EQ(run.status + run.err, std::string("2") + err);
        EXPECT_EQ(run.state, expected("installed"));
    }
}

// A Mac with several users: each user after the first still finds what macOS keeps for Brinvast
// in their home, through what root recorded for every user, whether root or the user runs; and
// --all-users does every regular user's home in one run, and no system account's.
TEST_F(CliUserEndToEnd, EveryUserOfTheMacLosesWhatMacosKeeps) {
    const std::string others = "/home/other/Library/Preferences/com.brinvast.Brinvast.plist";
    const std::string homes =
        "put " + others +
        " x; chown -R 1501:1501 /home/other; put /home/low/Library/Preferences/"
        "com.brinvast.Brinvast.plist x; ";
    const struct {
        const char* runs;
        const char* status;
        const char* summary;
    } cases[] = {
        {"by_root --user tester --complete --yes; first=$status; "
         "by_root --user other --complete --yes; status=\"$first $status\"",
         "0 0", ""},
        {"by_root --user tester --complete --yes; first=$status; "
         "HOME=/home/other by_other --complete --yes; status=\"$first $status\"",
         "0 0", ""},
        {"by_root --all-users --complete --yes", "0",
         "\n📋 Every user:\n   ✅ tester: succeeded (exit status 0)\n"
         "   ✅ other: succeeded (exit status 0)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.runs);
        const Outcome run = sandboxed(users + homes + c.runs +
                                      "; find /home/other /home/low /Library -type f "
                                      ">>\"$out/stderr\"");
        EXPECT_EQ(run.status, c.status);
        EXPECT_THAT(run.out, HasSubstr("✅ Removed what macOS kept: " + others + "\n"));
        EXPECT_THAT(run.out, EndsWith(c.summary));
        // The system account's home is untouched, and the record for every user goes once no
        // home keeps anything.
        EXPECT_EQ(
            run.err,
            std::string("/home/low/Library/Preferences/com.brinvast.Brinvast.plist\n") +
                (*c.summary ? ""
                            : "/Library/Application Support/Brinvast Uninstaller/identities\n"));
    }
}

TEST_F(CliUserEndToEnd, WithoutRootOnlyTheCallersOwnNameIsAccepted) {
    const Outcome refused = sandboxed(users + "by_other --user tester --yes");
    EXPECT_EQ(refused.status, "2");
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err,
              "brinvast-uninstall: nothing was changed: only root may name another user than the "
              "one running it.\n");
    EXPECT_EQ(refused.state, expected("installed"));

    const Outcome own = sandboxed(users + "by_other --user other --dry-run");
    EXPECT_EQ(own.status, "0");
    EXPECT_THAT(own.out, HasSubstr("\n💾 Found database at: /home/other/Library/Application "
                                   "Support/Brinvast/Database/Brinvast.db\n"));
    EXPECT_EQ(own.err, "");
}

}  // namespace
}  // namespace brinvast::testing
