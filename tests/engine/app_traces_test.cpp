// SPDX-License-Identifier: MIT
// What macOS keeps for Brinvast under its bundle identifier: every place is surveyed in both modes
// and emptied by complete removal, by exact names only; decoys beside them survive.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "app_traces.h"
#include "engine_test.h"
#include "macho.h"

namespace {

using brinvast::testing::brinvast_identifier;
using brinvast::testing::exists_no_follow;
using brinvast::testing::make_link;
using brinvast::testing::write_file;

const std::string id = brinvast_identifier;
const std::string helper =
    "com.brinvast.LoginHelper";  // a nested bundle's, outside id's name space
const std::string group = "TEAM123456.com.brinvast.shared";
const std::string daemon = "com.brinvast.Brinvast.privileged";

std::string info_plist(const std::string& identifier, const std::string& more = "") {
    return "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>" + identifier +
           "</string>" + more + "</dict></plist>\n";
}

// Brinvast with a login-item helper, a privileged helper and a signature that claims a group.
const brinvast::testing::Files a_full_bundle{
    {"Contents/Info.plist", info_plist(id,
                                       "<key>CFBundleExecutable</key><string>Brinvast</string>"
                                       "<key>SMPrivilegedExecutables</key><dict><key>" +
                                           daemon + "</key><string>anchor</string></dict>")},
    {"Contents/MacOS/Brinvast",
     brinvast::testing::macho::executable(brinvast::testing::macho::super_blob(
         {{0, brinvast::testing::macho::code_directory("TEAM123456")},
          {5, brinvast::testing::macho::entitlements({group, "group.com.apple.notes"})}}))},
    {"Contents/Library/LoginItems/Helper.app/Contents/Info.plist", info_plist(helper)},
};
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
    "Application Support/" + id + "/",
    "Logs/" + id + "/",
    "SyncedPreferences/" + id + ".plist",
    "Autosave Information/" + id + ".plist",
    "Caches/com.apple.nsurlsessiond/Downloads/" + id + "/",
    "Caches/com.crashlytics.data/" + id + "/",
    "Application Support/com.apple.sharedfilelist/"
    "com.apple.LSSharedFileList.ApplicationRecentDocuments/" +
        id + ".sfl2",
    "Caches/" + id + ".ShipIt/",
    "Preferences/" + id + ".helper.plist",
    "Containers/" + id + ".FinderSyncExt/",
    "Preferences/" + helper + ".plist",
    "Caches/" + helper + "/",
    "Group Containers/" + group + "/",
    // macOS's disks ignore case, and so do the names made from an identifier
    "Preferences/COM.BRINVAST.BRINVAST.plist",
    "Caches/COM.Brinvast.Brinvast.Updates/",
};
// Names that only look like Brinvast's.
const std::vector<std::string> decoys{
    "Preferences/com.other.App.plist",
    "Preferences/" + id + "2.plist",
    "Preferences/ByHost/" + id + ".plist",
    "Caches/Brinvast/cache.db",
    "Caches/" + id + "2/cache.db",
    "Containers/" + id + "Helper/data",
    "LaunchAgents/" + id + "2.plist",
    "Saved Application State/" + id + ".saved",
    "Caches/" + id + ".beta/cache.db",
    "Caches/COM.BRINVAST.BRINVAST.BETA/cache.db",
    "Caches/" + helper + "2/cache.db",
    "Group Containers/TEAM123456.com.other/data",
    "Group Containers/group.com.apple.notes/data",
};

class Traces : public brinvast::testing::EngineTest {
protected:
    std::string in_library(const std::string& name) const {
        return root / "home/Library/" +
               (name.ends_with('/') ? name.substr(0, name.size() - 1) : name);
    }
    void install_traces() {
        brinvast::testing::Product product = brinvast::testing::typical_product;
        product.app = a_full_bundle;
        install(product);
        // Another app, whose identifier lies in Brinvast's name space: its data is its own.
        write_file(root / "Applications/Beta.app/Contents/Info.plist", info_plist(id + ".beta"));
        write_file(root / ("Library/LaunchDaemons/" + daemon + ".plist"), "a daemon");
        write_file(root / ("Library/PrivilegedHelperTools/" + daemon), "a helper");
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
    } cases[] = {{true, true, 0}, {false, false, 0}, {false, true, long(traces.size())}};
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
        EXPECT_EQ(count(lines, "✅ DRY RUN: Would remove what macOS keeps: "),
                  c.dry_run ? long(traces.size()) : 0);
        for (const std::string& trace : traces)
            EXPECT_EQ(exists_no_follow(in_library(trace)), c.removed == 0) << trace;
        for (const std::string& decoy : decoys)
            EXPECT_TRUE(exists_no_follow(in_library(decoy))) << decoy;
        EXPECT_TRUE(exists_no_follow(root / "outside/target.txt")) << "a link is never followed";
        // Privileged helpers are the app's, not the user's data: root removes them in both modes.
        const bool helpers_go = !c.dry_run && ::geteuid() == 0;
        EXPECT_EQ(exists_no_follow(root / ("Library/PrivilegedHelperTools/" + daemon)),
                  !helpers_go);
        EXPECT_EQ(exists_no_follow(root / ("Library/LaunchDaemons/" + daemon + ".plist")),
                  !helpers_go);
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
        std::string trace;  // the one trace looked at afterwards
        bool kept;
    } cases[] = {
        {"another copy", "Applications/Brinvast Beta.app/Contents/Info.plist",
         brinvast::testing::a_bundle.begin()->second,
         "⚠️  Leaving what macOS keeps for " + id +
             ": another Brinvast with this identifier uses it",
         traces.front(), true},
        {"another copy, its identifier in capitals",
         "Applications/Brinvast Beta.app/Contents/Info.plist", info_plist("COM.BRINVAST.BRINVAST"),
         "⚠️  Leaving what macOS keeps for " + id +
             ": another Brinvast with this identifier uses it",
         traces.front(), true},
        {"a malformed Info.plist", "/Contents/Info.plist", "<plist><dict><key>",
         "⚠️  Not looking for what macOS keeps for Brinvast: Info.plist is not an XML or "
         "binary property list",
         traces.front(), true},
        {"an oversized Info.plist", "/Contents/Info.plist", std::string(1 << 21, ' '),
         "⚠️  Not looking for what macOS keeps for Brinvast: Info.plist is larger than 1 MiB",
         traces.front(), true},
        {"a one-word identifier", "/Contents/Info.plist", info_plist("Brinvast"),
         "⚠️  Not looking for what macOS keeps for Brinvast: CFBundleIdentifier \"Brinvast\" "
         "is "
         "not a reverse-DNS identifier of the app's own",
         traces.front(), true},
        {"a helper that another app declares", "Applications/Other.app/Contents/Info.plist",
         info_plist(helper),
         "⚠️  Leaving what macOS keeps for " + helper + ": " +
             root / "home/Applications/Other.app" + " claims it too",
         "Caches/" + helper + "/", true},
        {"a record that is not ours", "Library/Application Support/.brinvast-uninstall-identities",
         "identifier com.apple.Safari\n",
         "⚠️  Not trusting " + root / "home/Library/Application Support/" +
             ".brinvast-uninstall-identities: it is not a record this uninstaller writes",
         traces.front(), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh_tree();
        install_traces();
        write_file(c.file.starts_with('/') ? app + c.file : root / "home/" + c.file, c.text);
        EXPECT_TRUE(engine(false, true).run());
        const Lines lines = printed();
        EXPECT_EQ(count(lines, c.line), 1);
        EXPECT_EQ(exists_no_follow(in_library(c.trace)), c.kept);
    }

    fresh_tree();
    install(brinvast::testing::typical_product);
    const std::string stray = in_library("LaunchAgents/net.example.starter.plist");
    std::string text = agent;
    text.replace(text.find("%s"), 2, app + "/Contents/MacOS/Brinvast");
    write_file(stray, text);
    write_file(in_library("LaunchAgents/net.example.other.plist"), agent);
    // Spelt as if inside the bundle, it leads out of it.
    const std::string beside = in_library("LaunchAgents/net.example.beside.plist");
    text = agent;
    text.replace(text.find("%s"), 2, app + "/../Other.app/Contents/MacOS/Other");
    write_file(beside, text);
    EXPECT_TRUE(engine().run());
    EXPECT_EQ(count(printed(), "✅ Removed launch agent of the removed application: " + stray), 1);
    EXPECT_FALSE(exists_no_follow(stray));
    EXPECT_TRUE(exists_no_follow(in_library("LaunchAgents/net.example.other.plist")));
    EXPECT_TRUE(exists_no_follow(beside));
}

// The identities are written down before the bundle goes: a complete removal after a standard
// run finds every trace without the bundle, and the record goes with the last of them.
TEST_F(Traces, IdentitiesOutliveTheBundle) {
    install_traces();
    EXPECT_TRUE(engine().run());
    const std::string record =
        root / "home/Library/Application Support/.brinvast-uninstall-identities";
    ASSERT_FALSE(exists_no_follow(app));
    EXPECT_TRUE(exists_no_follow(record));
    // A record that others may write is no word of ours: without the bundle, nothing can be told.
    ASSERT_EQ(::chmod(record.c_str(), 0664), 0);
    EXPECT_FALSE(engine(false, true).run());
    EXPECT_EQ(count(printed(),
                    "❌ Cannot tell what macOS keeps for Brinvast without a record "
                    "that can be trusted: nothing was changed"),
              1);
    ASSERT_EQ(::chmod(record.c_str(), 0600), 0);
    // Root's record for every user, which its run left, counts only while it is root's alone.
    const std::string shared = root / "Library/Application Support/Brinvast Uninstaller/identities";
    ASSERT_EQ(exists_no_follow(shared), ::geteuid() == 0);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chmod(shared.c_str(), 0666), 0);
        EXPECT_FALSE(engine(false, true).run());
        ASSERT_EQ(::chmod(shared.c_str(), 0644), 0);
    }
    EXPECT_TRUE(engine(false, true).run());
    for (const std::string& trace : traces)
        EXPECT_FALSE(exists_no_follow(in_library(trace))) << trace;
    EXPECT_FALSE(exists_no_follow(record));
    EXPECT_TRUE(exists_no_follow(in_library(decoys.front())));
}

// A place that may be searched but not listed still gives up its traces by name, as rm -rf
// would; one that may not be searched fails a real run before anything goes, and a dry run
// warns. So do the launch agents, the bundle's Info.plist, and an app that may claim names.
TEST_F(Traces, PlacesThatCannotBeExaminedAreNeverTakenForEmpty) {
    const std::string library = root / "home/Library/";
    const struct {
        std::string path;  // below the tree
        mode_t mode;
        bool dry_run;
        bool succeeds;
        std::string line;
        std::string kept;  // a trace that must stay
    } cases[] = {
        {"home/Library/Caches", 0300, false, true,
         "✅ Removed what macOS kept: " + in_library("Caches/" + id), ""},
        {"home/Library/Caches", 0600, true, true,
         "⚠️  Cannot examine " + in_library("Caches/" + id) + ": Permission denied", ""},
        {"home/Library/Caches", 0600, false, false,
         "❌ Cannot tell what macOS keeps for Brinvast where it cannot be examined: nothing was "
         "changed",
         ""},
        {"home/Library/Caches/" + id, 0, true, true,
         "      ⚠️  Could not list, not counted: " + in_library("Caches/" + id), ""},
        {"home/Library/LaunchAgents", 0, false, false,
         "⚠️  Cannot examine " + library + "LaunchAgents: Permission denied", ""},
        {"Applications/Brinvast.app/Contents/Info.plist", 0, false, false,
         "❌ Cannot tell what macOS keeps for Brinvast without reading what names it: nothing was "
         "changed",
         ""},
        {"Applications/Beta.app", 0, false, true,
         "⚠️  Leaving the names below " + id + ": " + root / "Applications/Beta.app" +
             ": Permission denied, and an app that cannot be read may claim them",
         "Caches/" + id + ".ShipIt/"},
        {"home/Library/Application Support", 0555, true, true,
         "⚠️  A real run cannot write down what names Brinvast before removing it: Permission "
         "denied: " +
             library + "Application Support",
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + std::to_string(c.mode));
        fresh_tree();
        install_traces();
        brinvast::testing::give_to_nobody(root.path());
        ASSERT_EQ(::chmod((root / c.path).c_str(), c.mode), 0);
        const auto [succeeded, lines] = as_nobody(
            true, [](auto& engine) { return engine.run(); }, c.dry_run);
        EXPECT_EQ(succeeded, c.succeeds);
        EXPECT_EQ(std::ranges::count(lines, c.line), 1) << c.line;
        EXPECT_EQ(exists_no_follow(app), !c.succeeds || c.dry_run);
        EXPECT_TRUE(c.kept.empty() || exists_no_follow(in_library(c.kept))) << c.kept;
    }
}

// As root, a privileged helper outside the home goes only on root's own evidence: a bundle that
// nobody but root may change names it, or the helper, root's, names Brinvast as its client.
TEST_F(Traces, RootRemovesAHelperOnlyOnRootsEvidence) {
    if (::geteuid() != 0) GTEST_SKIP() << "acts as root";
    const std::string helper_tool = root / ("Library/PrivilegedHelperTools/" + daemon);
    const auto clients = [](const std::string& client) {
        return brinvast::testing::macho::with_info_plist(
            "<plist version=\"1.0\"><dict><key>SMAuthorizedClients</key><array><string>"
            "identifier \"" +
            client + "\" and anchor apple generic</string></array></dict></plist>");
    };
    const struct {
        bool users_bundle;
        std::string helper;
        bool removed;
    } cases[] = {
        {false, "a helper", true}, {true, clients(id), true}, {true, clients(helper), false}};
    for (const auto& c : cases) {
        fresh_tree();
        install_traces();
        write_file(helper_tool, c.helper);
        if (c.users_bundle) brinvast::testing::give_to_nobody(app);
        EXPECT_TRUE(engine().run());
        EXPECT_EQ(count(printed(), "⚠️  Leaving the privileged helper " + daemon + ": " + app +
                                       " may be changed by its owner nobody, and nothing that only "
                                       "root could have written shows it to be Brinvast's"),
                  c.removed ? 0 : 2);  // and again before the end of the report
        EXPECT_EQ(exists_no_follow(helper_tool), !c.removed);
    }
}

// A place swapped for a link after the survey leads the removal nowhere.
TEST_F(Traces, APlaceSwappedForALinkLeadsNowhere) {
    install_traces();
    write_file(root / ("outside/" + id + "/keep"), "not ours");
    brinvast::AppIdentities ids;
    ids.identifier = id;
    const brinvast::OtherApps others;
    const brinvast::TraceSurvey survey = brinvast::survey_traces(root / "home", {ids, others});
    const auto caches =
        std::ranges::find(survey.traces, in_library("Caches/" + id), &brinvast::AppTrace::path);
    ASSERT_NE(caches, survey.traces.end());
    std::filesystem::rename(in_library("Caches"), root / "caches-before");
    ASSERT_TRUE(make_link(root / "outside", in_library("Caches")));
    EXPECT_THROW((void)brinvast::remove_trace(root / "home", *caches), std::system_error);
    EXPECT_TRUE(exists_no_follow(root / ("outside/" + id + "/keep")));
}

TEST(IdentityRecord, KeepsWhatItWasGivenAndRefusesWhatItDidNotWrite) {
    const brinvast::AppIdentities ids{
        id, {helper}, "TEAM123456", {group}, {"com.brinvast.a"}, {daemon}, {"com.brinvast.pkg"}};
    const std::string text = brinvast::record_text(ids);
    brinvast::Problem problem;
    EXPECT_EQ(brinvast::identities_in_record(text, problem), ids);
    const auto spoilt = [&text](const std::string& from, const std::string& to) {
        std::string changed = text;
        return changed.replace(changed.find(from), from.size(), to);
    };
    for (const std::string& refused :
         {text.substr(0, text.size() - 4), spoilt("identifier " + id, "identifier Brinvast"),
          spoilt("group " + group, "group ../x"), spoilt("team ", "colour "),
          spoilt("group " + group, "group TEAM123456.com.apple.notes"),
          spoilt("nested " + helper, "nested com.apple.Safari"), text + "end\n"}) {
        EXPECT_EQ(brinvast::identities_in_record(refused, problem), std::nullopt) << refused;
    }
}

TEST(ResolvedPath, FollowsWhatStandsAndSpellsOutWhatIsGone) {
    const brinvast::testing::TempDir tmp;
    brinvast::testing::make_dirs(tmp / "real/A.app");
    ASSERT_TRUE(make_link(tmp / "real", tmp / "link"));
    const std::string real = brinvast::real_path(tmp / "real");
    EXPECT_EQ(brinvast::real_path(tmp / "link/A.app/./x/../y"), real + "/A.app/y");
    EXPECT_EQ(brinvast::real_path(tmp / "link/Gone.app/../A.app"), real + "/A.app");
    EXPECT_EQ(brinvast::real_path(tmp / "link//A.app/"), real + "/A.app");
}

TEST(TraceCommands, RunAsTheUserWhoseHomeItIsWhenRootRunsThem) {
    brinvast::platform::SystemTools tools;
    tools.launchctl = "/bin/launchctl";
    tools.defaults = "/usr/bin/defaults";
    tools.lsregister = "/lsregister";
    tools.sudo = "/usr/bin/sudo";
    const brinvast::UserOfHome user{501, false};
    const brinvast::UserOfHome for_user{501, true};
    using Command = std::vector<std::string>;
    EXPECT_EQ(brinvast::stop_job_command(tools, brinvast::user_domain(for_user), "com.x"),
              (Command{"/bin/launchctl", "bootout", "gui/501/com.x"}));
    EXPECT_EQ(brinvast::forget_preferences_command(tools, user, "com.x", true),
              (Command{"/usr/bin/defaults", "-currentHost", "delete", "com.x"}));
    EXPECT_EQ(brinvast::unregister_command(tools, for_user, "/A.app"),
              (Command{"/bin/launchctl", "asuser", "501", "/usr/bin/sudo", "-u", "#501",
                       "/lsregister", "-u", "/A.app"}));
    EXPECT_EQ(brinvast::unregister_command({}, user, "/A.app"), Command{}) << "no such tool here";
}

}  // namespace
