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

// A helper that launchd keeps alive from inside the bundle: stopped before the running check,
// which would otherwise refuse every run.
TEST_F(MacosTools, AHelperThatLaunchdKeepsAliveIsStoppedFirst) {
    const Outcome run = sandboxed(
        "install_product; macos_tools; start_brinvast; "
        R"(put ~/Library/LaunchAgents/net.example.keeper.plist "<plist version=\"1.0\"><dict>)"
        R"(<key>Label</key><string>net.example.keeper</string><key>Program</key>)"
        R"(<string>$brinvast_executable</string><key>KeepAlive</key><true/></dict></plist>"; )"
        R"(echo "$brinvast_pid" >"$BRINVAST_TOOLS/loaded/gui+0+net.example.keeper"; cli --yes)" +
        then_tools);
    EXPECT_EQ(run.status, "0");
    EXPECT_THAT(run.out, HasSubstr("✅ Stopped launch job: gui/0/net.example.keeper\n"));
    EXPECT_THAT(run.out, HasSubstr("✅ Removed launch agent of the removed application: "
                                   "~/Library/LaunchAgents/net.example.keeper.plist\n"));
    EXPECT_THAT(run.out, HasSubstr("0 launchctl bootout gui/0/net.example.keeper\n"));
    EXPECT_THAT(run.state, Not(HasSubstr("net.example.keeper")));
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
        R"(echo usr/local/bin/brinvast >"$r/com.brinvast.extras/files"; cli --yes; )"
        R"(ls "$r" >>"$out/stderr")" +
        then_tools);
    EXPECT_EQ(run.status, "0");
    EXPECT_THAT(run.out, HasSubstr("✅ Stopped launch job: system/" + helper + "\n"));
    EXPECT_THAT(run.out, HasSubstr("✅ Removed privileged helper: /Library/PrivilegedHelperTools/" +
                                   helper + "\n"));
    EXPECT_THAT(run.out, HasSubstr("✅ Forgot installer receipt: com.brinvast.pkg\n"));
    EXPECT_THAT(run.out,
                HasSubstr("⚠️  Keeping the installer's receipt com.brinvast.extras: it "
                          "also installed /usr/local/bin/brinvast\n"));
    EXPECT_EQ(run.err, "com.brinvast.extras\n");
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
// goes on.
TEST_F(MacosTools, AToolThatNeverAnswersIsEndedAndTheRunGoesOn) {
    const Outcome run = sandboxed(
        R"(install_product; macos_tools; touch "$BRINVAST_TOOLS/hang/lsregister"; cli --yes)");
    EXPECT_EQ(run.status, "0");
    EXPECT_THAT(run.out, HasSubstr("⚠️  Could not unregister /Applications/Brinvast.app from "
                                   "Launch Services: no answer within 30 seconds\n"));
    EXPECT_THAT(run.out, HasSubstr("🎉 Uninstall completed successfully!\n"));
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
