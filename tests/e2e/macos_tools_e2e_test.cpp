// SPDX-License-Identifier: MIT
// The command line with stand-ins for macOS's own tools at their macOS paths: launch jobs that
// keep Brinvast's helper alive, the installer's receipts, privileged helpers, a tool that never
// answers, and a removal killed at any call.

#include <gmock/gmock.h>

#include "sandbox.h"

namespace brinvast::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using MacosTools = Sandbox;

// Each run's report, then what the tools were asked, by whom, behind a "----" line.
const std::string then_tools = R"(; { echo ----; tool_calls; ls /Library/*; } >>"$out/stdout")";

// A helper that launchd keeps alive from inside the bundle is stopped before the running check,
// which would otherwise refuse every run, as launchd answers: late, for a login item, with nobody
// logged in; and a check that launchd will not answer fails the run.
TEST_F(MacosTools, LaunchJobsAreStoppedAsLaunchdAnswers) {
    const std::string keeper =
        R"(put_job ~/Library/LaunchAgents/net.example.keeper.plist net.example.keeper )"
        R"("$brinvast_executable"; )";
    const struct {
        const char* name;
        std::string setup;
        std::string status;
        std::string line;
    } cases[] = {
        {"launchd lets the job go at once",
         keeper + R"(load_job gui/0/net.example.keeper "$brinvast_pid"; )", "0",
         "✅ Stopped launch job: gui/0/net.example.keeper\n"},
        {"launchd answers 36 and ends the job a second later",
         keeper +
             R"(load_job gui/0/net.example.keeper "$brinvast_pid"; touch "$BRINVAST_TOOLS/late"; )",
         "0",
         "✅ Stopped launch job: gui/0/net.example.keeper\n"
         "   Waiting up to 10 seconds for launchd to stop it\n"},
        {"a login item of the bundle",
         R"(put /Applications/Brinvast.app/Contents/Library/LoginItems/Helper.app/Contents/Info.plist )"
         R"("<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>$identifier.Login</string></dict></plist>"; )"
         R"(load_job gui/0/$identifier.Login "$brinvast_pid"; )",
         "0", "✅ Stopped launch job: gui/0/com.brinvast.Brinvast.Login\n"},
        {"nobody logged in",
         keeper +
             R"(load_job user/0/net.example.keeper "$brinvast_pid"; touch "$BRINVAST_TOOLS/no_gui"; )",
         "0", "✅ Stopped launch job: user/0/net.example.keeper\n"},
        {"launchctl print failing",
         keeper +
             R"(load_job gui/0/net.example.keeper; touch "$BRINVAST_TOOLS/fail/launchctl-print"; )"
             "quit_brinvast; ",
         "1",
         "❌ Cannot tell whether the launch job gui/0/net.example.keeper is still loaded: "
         "launchctl: failed as the test asked\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome run = sandboxed("install_product; macos_tools; start_brinvast; " + c.setup +
                                      "cli --yes" + then_tools);
        EXPECT_EQ(run.status, c.status) << run.out;
        EXPECT_THAT(run.out, HasSubstr(c.line));
    }
}

// As root, outside the home, nothing counts that a user could have written: a record in the home,
// a bundle the user owns, a label in the user's launch agent. launchd's own answer does.
TEST_F(MacosTools, RootTrustsOnlyWhatOnlyRootCouldHaveWritten) {
    const std::string vendor = "com.vendor.securityd";
    const std::string users_bundle =
        "chown -R 1500 /Applications/Brinvast.app; "
        "put_job /Applications/Brinvast.app/Contents/Library/LaunchDaemons/x.plist ";
    const struct {
        const char* name;
        std::string setup;
        std::string line;
        std::string gone;  // what the run removed from /Library, "" for nothing
        bool record_stays = false;
    } cases[] = {
        {"a record that names another vendor's daemon and receipt",
         "put_record 'daemon " + vendor + "' 'receipt com.vendor.config'; ", "", ""},
        {"the same record, and no bundle",
         "put_record 'daemon " + vendor + "'; rm -r /Applications/Brinvast.app; ", "", ""},
        {"a bundle that the user owns",
         users_bundle + vendor + " /Library/PrivilegedHelperTools/" + vendor + "; ",
         "⚠️  Leaving the privileged helper " + vendor +
             ": /Applications/Brinvast.app may be changed by its owner 1500, and nothing that only "
             "root could have written shows it to be Brinvast's\n",
         "", true},
        {"a label that leads into root's domain",
         R"(put_job ~/Library/LaunchAgents/x.plist x/../../system/)" + vendor +
             R"( "$brinvast_executable"; )",
         "⚠️  Not stopping the launch job of ~/Library/LaunchAgents/x.plist: its label is not "
         "one "
         "to use\n",
         ""},
        {"a bundle that the user owns, whose daemon launchd runs from the bundle",
         users_bundle + R"(com.brinvast.daemon "$brinvast_executable"; )" +
             R"(put /Library/LaunchDaemons/com.brinvast.daemon.plist daemon; )" +
             R"(load_job system/com.brinvast.daemon "" "$brinvast_executable"; )",
         "✅ Stopped launch job: system/com.brinvast.daemon\n", "com.brinvast.daemon.plist"},
        {"root in the user's home, as sudo leaves HOME, with the bundle's own helper",
         R"(chmod 0711 "$out"; chmod 0666 "$BRINVAST_TOOLS/log"; chown -R 1500 "$HOME"; )"
         R"(put /Applications/Brinvast.app/Contents/Info.plist "<plist version=\"1.0\"><dict>)"
         R"(<key>CFBundleIdentifier</key><string>$identifier</string><key>)"
         R"(SMPrivilegedExecutables</key><dict><key>com.brinvast.helper</key><string>a</string>)"
         R"(</dict></dict></plist>"; put /Library/LaunchDaemons/com.brinvast.helper.plist d; )",
         "✅ Removed privileged helper: /Library/LaunchDaemons/com.brinvast.helper.plist\n",
         "com.brinvast.helper.plist"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome run =
            sandboxed("install_product; macos_tools; vendor_helper; " + c.setup +
                      "cli --yes; ls /Library/LaunchDaemons >>\"$out/stderr\"" + then_tools);
        EXPECT_EQ(run.status, "0") << run.out;
        EXPECT_THAT(run.out, HasSubstr(c.line));
        EXPECT_THAT(run.out, Not(HasSubstr(vendor + "\n0 launchctl bootout")));
        EXPECT_THAT(run.out, Not(HasSubstr("bootout system/" + vendor)));
        EXPECT_THAT(run.out, Not(HasSubstr("--forget com.vendor")));
        EXPECT_THAT(run.out, Not(HasSubstr("bootout gui/0/x/")));
        EXPECT_THAT(run.err, HasSubstr(vendor + ".plist"));
        EXPECT_THAT(run.out, Not(HasSubstr("only an administrator's run")));
        EXPECT_EQ(run.state.find(".brinvast-uninstall-identities") != std::string::npos,
                  c.record_stays);
        if (!c.gone.empty()) {
            EXPECT_THAT(run.err, Not(HasSubstr(c.gone)));
        }
    }
}

// As root: the privileged helper that the bundle names is stopped and its files go, in standard
// mode too; a receipt goes once every file it installed went with the bundle, and one that
// installed elsewhere too stays, with the reason.
TEST_F(MacosTools, RootRemovesPrivilegedHelpersAndForgetsOnlyReceiptsOfTheBundle) {
    const std::string helper = "net.example.brinvast.helper";
    const Outcome run = sandboxed(
        "install_product; macos_tools; "
        R"(put /Applications/Brinvast.app/Contents/Info.plist "<plist version=\"1.0\"><dict>)"
        R"(<key>CFBundleIdentifier</key><string>$identifier</string>)"
        R"(<key>SMPrivilegedExecutables</key><dict><key>)" +
        helper +
        R"(</key><string>anchor</string></dict></dict></plist>"; )"
        "put /Library/LaunchDaemons/" +
        helper +
        ".plist daemon; "
        "put /Library/PrivilegedHelperTools/" +
        helper +
        " tool; "
        ": >\"$BRINVAST_TOOLS/loaded/system+" +
        helper +
        "\"; "
        R"(r="$BRINVAST_TOOLS/receipts"; mkdir -p "$r/com.brinvast.pkg" "$r/com.brinvast.extras"; )"
        R"(for p in pkg extras; do echo /Applications/Brinvast.app >"$r/com.brinvast.$p/owns"; done; )"
        R"(echo Applications >"$r/com.brinvast.pkg/location"; )"
        R"(printf 'Brinvast.app/Contents/Info.plist\nBrinvast.app/Contents/MacOS/Brinvast\n' )"
        R"(>"$r/com.brinvast.pkg/files"; echo / >"$r/com.brinvast.extras/location"; )"
        R"(echo usr/local/bin/brinvast >"$r/com.brinvast.extras/files"; )"
        // A list longer than a tool's output once was, whose last file lay outside; and none.
        R"(for p in big empty; do mkdir "$r/com.brinvast.$p"; echo Applications >"$r/com.brinvast.$p/location"; )"
        R"(echo /Applications/Brinvast.app >"$r/com.brinvast.$p/owns"; done; : >"$r/com.brinvast.empty/files"; )"
        R"({ seq -f 'Brinvast.app/Contents/Resources/%g.lproj' 8000; echo ../usr/local/bin/brinvast; } )"
        R"(>"$r/com.brinvast.big/files"; cli --yes; ls "$r" >>"$out/stderr")" +
        then_tools);
    EXPECT_EQ(run.status, "0");
    EXPECT_THAT(run.out, HasSubstr("✅ Stopped launch job: system/" + helper + "\n"));
    EXPECT_THAT(run.out, HasSubstr("✅ Removed privileged helper: /Library/PrivilegedHelperTools/" +
                                   helper + "\n"));
    EXPECT_THAT(run.out, HasSubstr("✅ Forgot installer receipt: com.brinvast.pkg\n"));
    EXPECT_THAT(run.out,
                HasSubstr("⚠️  Keeping the installer's receipt com.brinvast.extras: it "
                          "also installed /usr/local/bin/brinvast\n"));
    EXPECT_THAT(run.out,
                HasSubstr("⚠️  Keeping the installer's receipt com.brinvast.big: it also "
                          "installed /usr/local/bin/brinvast\n"));
    EXPECT_THAT(run.out, HasSubstr("⚠️  Keeping the installer's receipt com.brinvast.empty: it "
                                   "lists no files\n"));
    EXPECT_EQ(run.err, "com.brinvast.big\ncom.brinvast.empty\ncom.brinvast.extras\n");
    EXPECT_THAT(run.out, ::testing::EndsWith(
                             "/Library/LaunchDaemons:\n\n/Library/PrivilegedHelperTools:\n"));
}

// The preferences system forgets each domain once; this Mac's ByHost file is its -currentHost
// domain, another Mac's is only a file. A file that cfprefsd deleted went all the same, and a
// sandboxed app's domain that it does not know (it looks in the container) is no failure.
TEST_F(MacosTools, PreferencesAreForgottenOnceAndCountAsRemoved) {
    for (const std::string container : {"", "put ~/Library/Containers/$identifier/data x; "}) {
        const Outcome run = sandboxed(
            "install_product; macos_tools; put_traces; " + container +
            R"(uuid=$(sed -E 's/(.{8})(.{4})(.{4})(.{4})(.{12})/\1-\2-\3-\4-\5/' )"
            R"(/etc/machine-id | tr a-f A-F); b=~/Library/Preferences/ByHost; )"
            R"(put "$b/$identifier.$uuid.plist" x; put "$b/$identifier.0A1B.plist" x; )"
            R"(cli --complete --yes; find ~/Library/Preferences -type f >>"$out/stderr")" +
            then_tools);
        EXPECT_EQ(run.status, "0") << container;
        EXPECT_THAT(run.out, HasSubstr("0 defaults delete com.brinvast.Brinvast\n"
                                       "0 defaults -currentHost delete com.brinvast.Brinvast\n"))
            << container;
        EXPECT_THAT(run.out, Not(HasSubstr("Could not tell")));
        EXPECT_EQ(
            std::ranges::count_if(lines_of(run.out),
                                  [](const std::string& line) {
                                      return line.starts_with(
                                          "✅ Removed what macOS kept: ~/Library/Preferences/");
                                  }),
            3);
        EXPECT_EQ(run.err, "");
    }
}

// A tool that never answers is ended at its time limit, with its process group, and the run
// goes on; once the run's time for the tools is spent, nothing more is asked of them.
TEST_F(MacosTools, AToolThatNeverAnswersIsEndedAndTheRunGoesOn) {
    const Outcome run = sandboxed(
        R"(install_product; put_traces; macos_tools; touch "$BRINVAST_TOOLS/hang/lsregister" )"
        R"("$BRINVAST_TOOLS/hang/defaults"; BRINVAST_TOOL_LIMITS=1000,1500 cli --complete --yes)");
    EXPECT_EQ(run.status, "0");
    EXPECT_THAT(run.out, HasSubstr("⚠️  Could not unregister /Applications/Brinvast.app from "
                                   "Launch Services: no answer within 1 second\n"));
    EXPECT_THAT(run.out, HasSubstr("forget com.brinvast.Brinvast: no answer before the run's "
                                   "1500 ms for the system's tools were spent\n"));
    EXPECT_THAT(run.out,
                HasSubstr("⚠️  Could not read what Login Items lists: the run's 1500 ms "
                          "for the system's tools are spent\n"));
    EXPECT_THAT(run.out, HasSubstr("🎉 Uninstall completed successfully!\n"));
}

// After the removal, what Login Items still lists of the bundle gets a line, where to switch it
// off; nothing resets the database.
TEST_F(MacosTools, LoginItemsLeftInTheBackgroundTaskDatabaseAreNamed) {
    const Outcome run =
        sandboxed(R"(install_product; macos_tools; printf ' #1:\n  Name: Brinvast\n  URL: )"
                  R"(file:///Applications/Brinvast.app/\n #2:\n  Name: Other\n  URL: )"
                  R"(file:///Applications/Other.app/\n' >"$BRINVAST_TOOLS/btm"; cli --yes)" +
                  then_tools);
    EXPECT_EQ(run.status, "0");
    EXPECT_THAT(run.out, HasSubstr("⚠️  Login Items still lists Brinvast of the removed "
                                   "Brinvast.app: switch it off in System Settings › General › "
                                   "Login Items\n"));
    EXPECT_THAT(run.out, Not(HasSubstr("lists Other")));
    EXPECT_THAT(run.out, Not(HasSubstr("resetbtm")));
}

// Killed at any call of a complete removal, the next run still finds every trace through the
// record of the identifier, and leaves none behind its success.
TEST_F(MacosTools, AKilledRemovalLeavesNoTraceBehindTheNextSuccess) {
    const Outcome run = sandboxed("trace_kill_table unlinkat renameat fsync");
    const std::vector<std::string> rows = lines_of(run.out);
    EXPECT_GT(rows.size(), 10U);
    for (const std::string& row : rows)
        EXPECT_THAT(row, HasSubstr(" then=0 left=0")) << row;
}

}  // namespace
}  // namespace brinvast::testing
