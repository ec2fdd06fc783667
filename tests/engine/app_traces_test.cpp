// SPDX-License-Identifier: MIT
// What macOS keeps for Brinvast under its bundle identifier: every place is surveyed in both modes
// and emptied by complete removal, by exact names only; decoys beside them survive.

#include <gtest/gtest.h>

#include <algorithm>

#include "app_traces.h"
#include "engine_test.h"

namespace {

using brinvast::testing::brinvast_identifier;
using brinvast::testing::exists_no_follow;
using brinvast::testing::make_link;
using brinvast::testing::write_file;

const std::string id = brinvast_identifier;
const std::string agent = "<plist version=\"1.0\"><dict><key>Label</key><string>" + id +
                          "</string><key>ProgramArguments</key><array><string>%s</string>"
                          "</array></dict></plist>\n";

// Each trace by the path it is reached by, under ~/Library; "/" ends a folder's.
const std::vector<std::string> traces{
    "Preferences/" + id + ".plist",
    "Preferences/ByHost/" + id + ".0A1B2C3D-4E5F.plist",
    "Caches/" + id + "/",
    "HTTPStorages/" + id + "/",
    "HTTPStorages/" + id + ".binarycookies",
    "WebKit/" + id,  // a link to a file outside the home
    "Cookies/" + id + ".binarycookies",
    "Saved Application State/" + id + ".savedState/",
    "Containers/" + id + "/",
    "Application Scripts/" + id + "/",
    "LaunchAgents/" + id + ".plist",
    "LaunchAgents/" + id + ".helper.plist",
};
// Names that only look like Brinvast's.
const std::vector<std::string> decoys{
    "Preferences/com.other.App.plist",     "Preferences/" + id + "2.plist",
    "Preferences/ByHost/" + id + ".plist", "Caches/Brinvast/cache.db",
    "Caches/" + id + "2/cache.db",         "Containers/" + id + "Helper/data",
    "LaunchAgents/" + id + "2.plist",      "Saved Application State/" + id + ".saved",
};

class Traces : public brinvast::testing::EngineTest {
protected:
    std::string in_library(const std::string& name) const {
        return root / "home/Library/" +
               (name.ends_with('/') ? name.substr(0, name.size() - 1) : name);
    }
    void install_traces() {
        install(brinvast::testing::typical_product);
        for (const std::string& trace : traces) {
            if (trace.starts_with("WebKit/")) {
                write_file(root / "outside/target.txt", "not ours");
                brinvast::testing::make_dirs(in_library("WebKit"));
                ASSERT_TRUE(make_link(root / "outside/target.txt", in_library(trace)));
            } else {
                write_file(in_library(trace) + (trace.ends_with('/') ? "/data" : ""), "x");
            }
        }
        for (const std::string& decoy : decoys)
            write_file(in_library(decoy), "not ours");
    }
    long count(const Lines& lines, const std::string& start) const {
        return std::ranges::count_if(lines, [&](const auto& l) { return l.starts_with(start); });
    }
};

TEST_F(Traces, CompleteRemovalTakesExactlyWhatMacosKeepsForTheIdentifier) {
    const struct {
        bool dry_run;
        bool clean_all;
        long removed;  // "Removed what macOS kept" lines
    } cases[] = {{true, true, 0}, {false, false, 0}, {false, true, 12}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.dry_run) + std::to_string(c.clean_all));
        fresh_tree();
        install_traces();
        EXPECT_TRUE(engine(c.dry_run, c.clean_all).run());
        const Lines lines = printed();
        EXPECT_EQ(count(lines, "📋 What macOS keeps for " + id + ":"), 1);
        for (const std::string& trace : traces) {
            const char* mark = trace.ends_with('/')          ? "📁 "
                               : trace.starts_with("WebKit") ? "🔗 "
                                                             : "📄 ";
            EXPECT_EQ(count(lines, "   " + (mark + in_library(trace)) + " ("), 1) << trace;
        }
        EXPECT_EQ(count(lines, "✅ Removed what macOS kept: "), c.removed);
        EXPECT_EQ(count(lines, "✅ DRY RUN: Would remove what macOS keeps: "), c.dry_run ? 12 : 0);
        for (const std::string& trace : traces)
            EXPECT_EQ(exists_no_follow(in_library(trace)), c.removed == 0) << trace;
        for (const std::string& decoy : decoys)
            EXPECT_TRUE(exists_no_follow(in_library(decoy))) << decoy;
        EXPECT_TRUE(exists_no_follow(root / "outside/target.txt")) << "a link is never followed";
    }
}

// Another Brinvast with the same identifier keeps its settings; without a usable identifier only
// the folders go; a launch agent into the removed bundle goes in both modes, whatever its name.
TEST_F(Traces, WhatMayNotBeTiedToThisBrinvastStays) {
    const struct {
        const char* name;
        std::string file;  // under the home, or the bundle's Info.plist when it starts with "/"
        std::string text;
        std::string line;
        bool kept;
    } cases[] = {
        {"another copy", "Applications/Brinvast Beta.app/Contents/Info.plist",
         brinvast::testing::a_bundle.begin()->second,
         "⚠️  Leaving what macOS keeps for " + id +
             ": another Brinvast with this identifier uses it",
         true},
        {"a malformed Info.plist", "/Contents/Info.plist", "<plist><dict><key>",
         "⚠️  Not looking for what macOS keeps for Brinvast: Info.plist is not an XML or "
         "binary "
         "property list",
         true},
        {"an oversized Info.plist", "/Contents/Info.plist", std::string(1 << 21, ' '),
         "⚠️  Not looking for what macOS keeps for Brinvast: Info.plist is larger than 1 MiB",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh_tree();
        install_traces();
        write_file(c.file.starts_with('/') ? app + c.file : root / "home/" + c.file, c.text);
        EXPECT_TRUE(engine(false, true).run());
        const Lines lines = printed();
        EXPECT_EQ(count(lines, c.line), 1);
        EXPECT_EQ(exists_no_follow(in_library(traces.front())), c.kept);
    }

    fresh_tree();
    install(brinvast::testing::typical_product);
    const std::string stray = in_library("LaunchAgents/net.example.starter.plist");
    std::string text = agent;
    text.replace(text.find("%s"), 2, app + "/Contents/MacOS/Brinvast");
    write_file(stray, text);
    write_file(in_library("LaunchAgents/net.example.other.plist"), agent);
    EXPECT_TRUE(engine().run());
    EXPECT_EQ(count(printed(), "✅ Removed launch agent of the removed application: " + stray), 1);
    EXPECT_FALSE(exists_no_follow(stray));
    EXPECT_TRUE(exists_no_follow(in_library("LaunchAgents/net.example.other.plist")));
}

TEST(TraceCommands, RunAsTheUserWhoseHomeItIsWhenRootRunsThem) {
    const brinvast::platform::SystemTools tools{"/bin/launchctl",    "/usr/bin/defaults",
                                                "/lsregister",       "/usr/bin/sudo",
                                                "/usr/sbin/pkgutil", "/usr/bin/codesign"};
    const brinvast::UserOfHome user{501, false};
    const brinvast::UserOfHome for_user{501, true};
    using Command = std::vector<std::string>;
    EXPECT_EQ(brinvast::stop_agent_command(tools, for_user, "com.x"),
              (Command{"/bin/launchctl", "bootout", "gui/501/com.x"}));
    EXPECT_EQ(brinvast::forget_preferences_command(tools, user, "com.x", true),
              (Command{"/usr/bin/defaults", "-currentHost", "delete", "com.x"}));
    EXPECT_EQ(brinvast::unregister_command(tools, for_user, "/A.app"),
              (Command{"/bin/launchctl", "asuser", "501", "/usr/bin/sudo", "-u", "#501",
                       "/lsregister", "-u", "/A.app"}));
    EXPECT_EQ(brinvast::unregister_command({}, user, "/A.app"), Command{}) << "no such tool here";
}

}  // namespace
