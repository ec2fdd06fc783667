// SPDX-License-Identifier: MIT
// The engine's operations one at a time, over real trees: settings, action log, presence
// checks, verification, survey, removals and backup, including the refusals that only bite for
// an unprivileged user or an immutable file.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iomanip>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "confirmations.h"
#include "engine_test.h"
#include "permission_hint.h"
#include "steps_test.h"
#include "test_tree.h"
#include "uninstaller.h"

namespace {

using brinvast::BrinvastUninstaller;
using brinvast::testing::a_bundle;
using brinvast::testing::bytes;
using brinvast::testing::exists_no_follow;
using brinvast::testing::Immutable;
using brinvast::testing::known_time_text;
using brinvast::testing::lines_of;
using brinvast::testing::stamp_known_time;
using brinvast::testing::write_file;
using Lines = std::vector<std::string>;
using brinvast::testing::Forms;
using brinvast::testing::redacted;
using brinvast::testing::StepsTest;
namespace fs = std::filesystem;

const char* const sudo_hint = "   Try running with sudo or check file permissions";

// The hint for an entry that the test's Immutable locked.
std::string lock_line(const std::string& locked) {
#if defined(__APPLE__)
    const char* const flag = "uchg";
#else
    const char* const flag = "immutable";
#endif
    return brinvast::permission_hint(
        {.path = locked, .error = EPERM, .locked = locked, .flag = flag});
}

TEST_F(StepsTest, RollbackUndoesNewestFirstAndGoesOnAfterAFailingStep) {
    BrinvastUninstaller& uninstaller = engine();
    Lines called;
    uninstaller._log_action("Removed directory: /a");
    uninstaller.rollback_changes();
    uninstaller._log_action("B", false, [&] { called.push_back("B"); });
    uninstaller._log_action("C", true, [&] { called.push_back("C"); });
    uninstaller._log_action("D", true, [&] {
        called.push_back("D");
        throw std::runtime_error("disk on fire");
    });
    uninstaller._log_action("E", true, [&] { called.push_back("E"); });
    uninstaller.rollback_changes();
    EXPECT_EQ(called, (Lines{"E", "D", "C"}));
    EXPECT_EQ(printed(),
              (Lines{"✅ Removed directory: /a", "🔄 No rollback actions needed", "❌ B", "✅ C", "✅ D",
                     "✅ E", "🔄 Attempting to rollback changes...", "✅ Rollback step 1 completed",
                     "❌ Rollback step 2 failed: disk on fire", "✅ Rollback step 3 completed"}));
    EXPECT_EQ(uninstaller.actions_performed, (Lines{"Removed directory: /a", "C", "D", "E"}));
    EXPECT_EQ(uninstaller.rollback_actions.size(), 3u);
}

TEST_F(StepsTest, DatabaseSizesPrintInMegabytesWithTwoDecimals) {
    for (const auto& [size, shown] :
         {std::pair{0, "0.00"}, {1048576, "1.00"}, {1572864, "1.50"}, {5000, "0.00"}}) {
        install({.database = bytes(size), .backup = bytes(size)});
        BrinvastUninstaller& uninstaller = engine();
        EXPECT_TRUE(uninstaller.check_database_exists());
        EXPECT_TRUE(uninstaller.check_backup_database_exists());
        const std::string line =
            std::string("   Size: ") + shown + " MB, Modified: " + known_time_text;
        EXPECT_EQ(printed(), (Lines{"💾 Found database at: " + db, line,
                                    "⚠️  Backup database already exists: " + backup, line}));
    }
}

TEST_F(StepsTest, DanglingLinksCountAsAbsent) {
    fs::create_directories(fs::path(db).parent_path());
    fs::create_directories(root / "Applications");
    for (const std::string& path : {app, db, backup})
        fs::create_symlink(root / "nowhere", path);
    BrinvastUninstaller& uninstaller = engine();
    EXPECT_FALSE(uninstaller.check_application_exists() || uninstaller.check_database_exists() ||
                 uninstaller.check_backup_database_exists());
    EXPECT_EQ(printed(),
              (Lines{"📱 Brinvast.app not found at: " + app, "💾 Database not found at: " + db}));
}

TEST_F(StepsTest, VerificationNamesWhatIsLeft) {
    install({.app = a_bundle, .documents = {{"x", ""}}, .logs = {{"x", ""}}});
    Lines seen;
    for (const auto& [dry_run, clean_all] :
         {std::pair{false, true}, {true, true}, {false, false}}) {
        EXPECT_EQ(engine(dry_run, clean_all).verify_clean_state(), dry_run);
        const Lines lines = printed();
        seen.insert(seen.end(), lines.begin(), lines.end());
    }
    EXPECT_EQ(seen, (Lines{"", "🔍 Verifying clean state...", "❌ Application still exists: " + app,
                           "❌ Directory still exists: " + documents,
                           "❌ Directory still exists: " + logs, "", "🔍 Verifying clean state...",
                           "🔍 DRY RUN: Would verify clean state after operations", "",
                           "🔍 Verifying clean state...", "❌ Application still exists: " + app,
                           "✅ Database successfully backed up",
                           "⚠️  Backup database not found: " + backup}));
}

TEST_F(StepsTest, SurveyCountsEveryDepthWithoutEnteringLinks) {
    write_file(support + "/big.bin", 3 * 1048576);
    fs::create_directories(support + "/empty");
    fs::create_directories(logs + "/a/b/c");
    write_file(logs + "/one.bin", 1);
    write_file(root / "outside/huge.bin", 5 * 1048576);
    fs::create_directory_symlink(root / "outside", logs + "/linked");
    fs::create_symlink(root / "nowhere", logs + "/dangling");
    ASSERT_TRUE(stamp_known_time(support));
    ASSERT_TRUE(stamp_known_time(logs));

    const auto directory_info = engine().check_brinvast_directories_exist();
    EXPECT_EQ(printed(),
              (Lines{"📁 Found directory: " + support, "   Files: 1, Dirs: 1, Size: 3.00 MB",
                     "📁 Directory not found: " + documents, "📁 Found directory: " + logs,
                     "   Files: 2, Dirs: 4, Size: 0.00 MB"}));
    EXPECT_EQ(forms_of(directory_info),
              (Forms{{support, "exists, 1 files, 1 dirs, 3145728 bytes, " + known_time_text},
                     {documents, "absent"},
                     {logs, "exists, 2 files, 4 dirs, 1 bytes, " + known_time_text}}));
}

// Desktop & Documents in iCloud: the folder goes from iCloud and every Mac, and both the
// confirmation and the survey say so.
TEST_F(StepsTest, AFolderInICloudDriveIsNamedAsSuch) {
    const std::string drive = root / "home/Library/Mobile Documents/com~apple~CloudDocs/Documents";
    write_file(drive + "/Brinvast/report.pdf", 1);
    fs::create_directory_symlink(drive, root / "home/Documents");
    write_file(support + "/data", 1);
    EXPECT_EQ(brinvast::product_folders_in_icloud(where), Lines{documents});
    const std::string warning = brinvast::complete_removal_text({documents});
    EXPECT_NE(warning.find("every Mac signed in to this account too:\n• " + documents +
                           "\n\n"
                           "Are you absolutely sure?"),
              std::string::npos);
    EXPECT_TRUE(engine(false, true).remove_all_directories());
    const Lines lines = printed();
    EXPECT_EQ(std::ranges::count(lines,
                                 "   ☁️  In iCloud Drive: removing it deletes it from "
                                 "iCloud and from every Mac signed in to this account"),
              1);
    EXPECT_FALSE(exists_no_follow(drive + "/Brinvast"));
}

TEST_F(StepsTest, UnreadableSubdirectoryContributesNothing) {
    write_file(support + "/top.bin", 1048576);
    write_file(support + "/open/half.bin", 524288);
    write_file(support + "/locked/hidden.bin", 1048576);
    fs::create_directories(support + "/locked/deeper");
    brinvast::testing::give_to_nobody(root.path());
    fs::permissions(support + "/locked", fs::perms::none);
    const auto [result, lines] = as_nobody(false, [](BrinvastUninstaller& engine) {
        return !engine.check_brinvast_directories_exist().empty();
    });
    EXPECT_EQ(lines,
              (Lines{"📁 Found directory: " + support, "   Files: 2, Dirs: 2, Size: 1.50 MB",
                     "   ⚠️  Could not list, not counted: " + support + "/locked",
                     "📁 Directory not found: " + documents, "📁 Directory not found: " + logs}));
}

TEST_F(StepsTest, RegularFileAtListedPathIsMeasuredEmptyAndNotRemoved) {
    write_file(logs, 100);
    ASSERT_TRUE(stamp_known_time(logs));
    BrinvastUninstaller& uninstaller = engine(false, true);
    EXPECT_EQ(forms_of(uninstaller.check_brinvast_directories_exist()),
              (Forms{{support, "absent"},
                     {documents, "absent"},
                     {logs, "exists, 0 files, 0 dirs, 0 bytes, " + known_time_text}}));
    (void)printed();
    EXPECT_FALSE(uninstaller.remove_all_directories());
    EXPECT_EQ(redacted(printed(), "❌ Failed to remove directory " + logs + ": "),
              (Lines{"📁 Directory not found: " + support, "📁 Directory not found: " + documents,
                     "📁 Found directory: " + logs, "   Files: 0, Dirs: 0, Size: 0.00 MB", "",
                     "🗂️  Found 1 Brinvast directories to remove:",
                     "   📁 " + logs + " (0 files, 0.00 MB)",
                     "❌ Failed to remove directory " + logs + ": <error>", "",
                     "⚠️  Partial success: removed 0 of 1 directories"}));
    EXPECT_EQ(fs::file_size(logs), 100u);
}

TEST_F(StepsTest, RemovalNeverFollowsLinks) {
    write_file(root / "outside/Brinvast.app/Contents/Info.plist", 10);
    fs::create_directories(root / "Applications");
    fs::create_directory_symlink(root / "outside/Brinvast.app", app);
    BrinvastUninstaller& uninstaller = engine();
    EXPECT_FALSE(uninstaller.remove_application());
    EXPECT_EQ(
        redacted(printed(), "❌ Failed to remove application: "),
        (Lines{"📱 Found Brinvast.app at: " + app, "❌ Failed to remove application: <error>"}));
    EXPECT_TRUE(fs::is_symlink(app) && uninstaller.actions_performed.empty());

    fs::remove(app);
    install({.app = {{"Contents/MacOS/Brinvast", bytes(100)}}});
    fs::create_directory_symlink(root / "outside", app + "/Contents/to_dir");
    fs::create_symlink(root / "outside/Brinvast.app/Contents/Info.plist", app + "/to_file");
    EXPECT_TRUE(uninstaller.remove_application());
    EXPECT_EQ(printed(),
              (Lines{"📱 Found Brinvast.app at: " + app, "✅ Removed application: " + app}));
    EXPECT_FALSE(exists_no_follow(app));
    EXPECT_EQ(fs::file_size(root / "outside/Brinvast.app/Contents/Info.plist"), 10u);
    ASSERT_EQ(uninstaller.rollback_actions.size(), 1u);
    uninstaller.rollback_actions[0]();
    EXPECT_EQ(printed(),
              Lines{"⚠️  Application removal rollback not possible - app was deleted"});
}

// True: EACCES from a read-only directory, met as nobody. False: EPERM from an immutable file.
class RefusalTest : public StepsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RefusalTest, PermissionLinesNameTheTopPath) {
    install({.app = {{"Contents/Info.plist", bytes(1)}, {"Contents/locked/file", bytes(1)}},
             .support = {{"a.bin", bytes(1)}},
             .documents = {{"locked/file", bytes(1)}},
             .logs = {{"b.bin", bytes(1)}}});
    const std::string locked[] = {app + "/Contents/locked", documents + "/locked"};
    brinvast::testing::give_to_nobody(root.path());
    std::optional<Immutable> immutable[2];
    for (int i = 0; i < 2; ++i) {
        if (GetParam()) {
            fs::permissions(locked[i], fs::perms::owner_write, fs::perm_options::remove);
        } else {
            immutable[i].emplace(locked[i] + "/file");
            ASSERT_TRUE(immutable[i]->applied());
        }
    }
    const auto [removed_app, app_lines] =
        as_nobody(false, [](BrinvastUninstaller& engine) { return engine.remove_application(); });
    EXPECT_FALSE(removed_app);
    Lines expected_app{"📱 Found Brinvast.app at: " + app, "❌ Permission denied removing " + app,
                       sudo_hint};
    if (!GetParam()) expected_app.push_back(lock_line(locked[0] + "/file"));
    EXPECT_EQ(app_lines, expected_app);

    const auto [removed_all, lines] = as_nobody(
        true, [](BrinvastUninstaller& engine) { return engine.remove_all_directories(); });
    EXPECT_FALSE(removed_all);
    Lines expected{"✅ Removed directory: " + support,
                   "❌ Permission denied removing " + documents,
                   sudo_hint,
                   "✅ Removed directory: " + logs,
                   "",
                   "⚠️  Partial success: removed 2 of 3 directories"};
    if (!GetParam()) expected.insert(expected.begin() + 3, lock_line(locked[1] + "/file"));
    ASSERT_GE(lines.size(), expected.size());
    EXPECT_EQ(Lines(lines.end() - static_cast<long>(expected.size()), lines.end()), expected);
    EXPECT_TRUE(fs::exists(app + "/Contents/locked/file") &&
                fs::exists(documents + "/locked/file"));
}

INSTANTIATE_TEST_SUITE_P(Refusals, RefusalTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "EACCES" : "EPERM"; });

// A lock anywhere in the bundle, the bundle itself included, is found before the first deletion,
// so that a locked bundle is never left emptied. A name that would forge a line of the report is
// shown escaped.
TEST_F(StepsTest, LockedBundleIsRefusedBeforeAnythingIsDeleted) {
    const std::string forged = "Contents/x\n🎉 Uninstall completed successfully!\x1b\\";
    install({.app = {{"Contents/MacOS/Brinvast", bytes(1)},
                     {"Contents/Resources/a/b/icon.icns", bytes(1)},
                     {forged, bytes(1)}}});
    const std::string deep = app + "/Contents/Resources/a/b/icon.icns";
    const std::pair<std::string, std::string> cases[] = {
        {app, app},
        {deep, deep},
        {app + "/" + forged, app + "/Contents/x\\n🎉 Uninstall completed successfully!\\x1b\\\\"}};
    for (const auto& [locked, shown] : cases) {
        SCOPED_TRACE(shown);
        const Immutable lock(locked);
        ASSERT_TRUE(lock.applied());
        const auto before = brinvast::testing::inventory(root.path());
        BrinvastUninstaller& uninstaller = engine();
        EXPECT_FALSE(uninstaller.remove_application());
        EXPECT_EQ(printed(),
                  (Lines{"📱 Found Brinvast.app at: " + app, "❌ Permission denied removing " + app,
                         sudo_hint, lock_line(shown)}));
        EXPECT_NE(uninstaller.outcome(), brinvast::Outcome::needs_administrator);
        EXPECT_EQ(brinvast::testing::inventory(root.path()), before);
    }
}

// A target that can't be examined may be there: the step that meets it fails with the real
// error, and nothing unseen is reported gone. Run as nobody with one folder locked away.
TEST_F(StepsTest, WhatCannotBeExaminedIsNeverReportedGone) {
    const std::string denied = ": Permission denied";
    const struct {
        bool clean_all;
        std::string locked;
        Lines expected;  // in this order, among the lines printed
    } cases[] = {
        {false,
         support,
         {"💾 Cannot examine database at " + db + denied,
          "❌ Failed to backup database: Permission denied: " + db, "❌ Uninstall failed!"}},
        {true,
         root / "home/Documents",
         {"⚠️  Error analyzing directory " + documents + ": Permission denied: " + documents,
          "❌ Permission denied removing " + documents, sudo_hint,
          "⚠️  Partial success: removed 2 of 3 directories", "❌ Uninstall failed!"}},
        // A folder that may be looked at but not listed, as macOS privacy protection keeps
        // ~/Documents, is not an empty one.
        {true,
         documents,
         {"⚠️  Error analyzing directory " + documents + ": Permission denied: " + documents,
          "❌ Permission denied removing " + documents, sudo_hint,
          "⚠️  Partial success: removed 2 of 3 directories", "❌ Uninstall failed!"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.locked);
        fresh_tree();
        install({.app = a_bundle,
                 .database = bytes(3),
                 .documents = {{"notes.txt", bytes(1)}},
                 .logs = {{"b.log", bytes(1)}}});
        brinvast::testing::give_to_nobody(root.path());
        fs::permissions(c.locked, fs::perms::none);
        const auto [verified, verify_lines] = as_nobody(
            c.clean_all, [](BrinvastUninstaller& engine) { return engine.verify_clean_state(); });
        EXPECT_FALSE(verified);
        EXPECT_NE(
            std::ranges::find(verify_lines, c.clean_all ? "❌ Directory still exists: " + documents
                                                        : "❌ Database still exists: " + db),
            verify_lines.end());

        const auto [succeeded, lines] =
            as_nobody(c.clean_all, [](BrinvastUninstaller& engine) { return engine.run(); });
        EXPECT_FALSE(succeeded);
        auto at = lines.begin();
        for (const std::string& line : c.expected) {
            at = std::find(at, lines.end(), line);
            EXPECT_NE(at, lines.end()) << line;
        }
        for (const char* never : {"✅ Database successfully backed up",
                                  "✅ All Brinvast directories successfully removed"}) {
            EXPECT_EQ(std::ranges::find(lines, never), lines.end()) << never;
        }
        EXPECT_TRUE(fs::exists(c.clean_all ? documents + "/notes.txt" : db));
    }
}

}  // namespace
