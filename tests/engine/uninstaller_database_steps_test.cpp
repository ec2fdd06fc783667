// SPDX-License-Identifier: MIT
// The database's steps one at a time, over real trees: the backup, its rollback, and what happens
// to whatever stands at the database's names.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "steps_test.h"
#include "test_tree.h"
#include "uninstaller.h"

namespace {

using brinvast::BrinvastUninstaller;
using brinvast::testing::a_bundle;
using brinvast::testing::bytes;
using brinvast::testing::Immutable;
using brinvast::testing::known_time_text;
using brinvast::testing::redacted;
using brinvast::testing::StepsTest;
using brinvast::testing::write_file;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

TEST_F(StepsTest, BackupReplacesOlderBackupAndRollbackMovesItBack) {
    install({.database = bytes(3), .backup = bytes(7)});
    BrinvastUninstaller& uninstaller = engine();
    EXPECT_TRUE(uninstaller.backup_database());
    EXPECT_EQ(printed(),
              (Lines{"💾 Found database at: " + db, "   Size: 0.00 MB, Modified: " + known_time_text,
                     "🗑️  Removed existing backup: " + backup,
                     "✅ Renamed database: " + db + " → " + backup}));
    EXPECT_FALSE(fs::exists(db));
    EXPECT_EQ(fs::file_size(backup), 3u) << "the backup must hold the former database";

    write_file(db, 9);  // a database that appeared meanwhile is set aside, never deleted
    uninstaller.rollback_changes();
    EXPECT_EQ(printed(),
              (Lines{"🔄 Attempting to rollback changes...",
                     "🔄 Set aside what stood in the way: " + db + " → " + db + ".set-aside-1",
                     "🔄 Rolled back database rename", "🔄 Put back the older backup: " + backup,
                     "✅ Rollback step 1 completed"}));
    EXPECT_EQ(fs::file_size(db), 3u);
    EXPECT_EQ(fs::file_size(backup), 7u) << "the older backup stays until the run has succeeded";
    EXPECT_EQ(fs::file_size(db + ".set-aside-1"), 9u);

    fs::remove(backup);
    EXPECT_TRUE(engine().backup_database());
    EXPECT_EQ(printed().size(), 3u) << "no removal line without an older backup";
    fs::remove(backup);
    engine_->rollback_changes();
    EXPECT_EQ(printed(),
              (Lines{"🔄 Attempting to rollback changes...", "✅ Rollback step 1 completed"}));
    EXPECT_FALSE(fs::exists(db) || fs::exists(backup));
}

TEST_F(StepsTest, BackupSurvivesFailedRename) {
    for (const bool directory_at_backup : {false, true}) {
        // An immutable database can't be renamed, while the older backup could be deleted.
        SCOPED_TRACE(directory_at_backup ? "directory at the backup path" : "immutable database");
        fresh_tree();
        install({.database = bytes(3)});
        const std::string older = directory_at_backup ? backup + "/inside" : backup;
        write_file(older, 7);
        std::optional<Immutable> immutable;
        if (!directory_at_backup) {
            ASSERT_TRUE(immutable.emplace(db).applied());
        }

        BrinvastUninstaller& uninstaller = engine();
        EXPECT_FALSE(uninstaller.backup_database());
        const Lines lines = printed();
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_TRUE(lines[2].starts_with("❌ Failed to backup database: ")) << lines[2];
        EXPECT_NE(lines[2].find(directory_at_backup ? "Is a directory" : "Locked ("),
                  std::string::npos)
            << lines[2];
        EXPECT_EQ(fs::file_size(db) + fs::file_size(older), 3u + 7u);
        EXPECT_TRUE(uninstaller.actions_performed.empty() && uninstaller.rollback_actions.empty());
    }
}

TEST_F(StepsTest, FailingRollbackStepIsReportedAndTheNextStillRuns) {
    install({.app = a_bundle, .database = bytes(3)});
    BrinvastUninstaller& uninstaller = engine();
    ASSERT_TRUE(uninstaller.remove_application() && uninstaller.backup_database());
    (void)printed();
    const Immutable locked(fs::path(db).parent_path());
    ASSERT_TRUE(locked.applied());
    uninstaller.rollback_changes();
    EXPECT_EQ(redacted(printed(), "❌ Rollback step 1 failed: "),
              (Lines{"🔄 Attempting to rollback changes...", "❌ Rollback step 1 failed: <error>",
                     "⚠️  Application removal rollback not possible - app was deleted",
                     "✅ Rollback step 2 completed"}));
    EXPECT_EQ(fs::file_size(backup), 3u);
}

// One entry as a user would see it: its type, and its size or where it points.
std::string look(const fs::path& path) {
    const fs::file_status status = fs::symlink_status(path);
    switch (status.type()) {
        case fs::file_type::symlink:
            return "link to " + fs::read_symlink(path).filename().string();
        case fs::file_type::regular:
            return std::to_string(fs::file_size(path)) + " bytes";
        case fs::file_type::directory:
            return "directory";
        case fs::file_type::fifo:
            return "fifo";
        case fs::file_type::not_found:
            return "nothing";
        default:
            return "other";
    }
}

// Whatever stands at the database's two names, afterwards the user's data (3 bytes; an older
// backup has 7, a file elsewhere 11) is under the backup name, or nothing moved and the run
// failed with a line that says why.
TEST_F(StepsTest, DatabaseIsNeverLostWhateverStandsAtItsNames) {
    const std::string elsewhere = root / "elsewhere.db";
    const auto file = [](const std::string& path, int size) {
        return [=] { write_file(path, size); };
    };
    const auto link = [](const std::string& target, const std::string& path) {
        return [=] { fs::create_symlink(target, path); };
    };
    const auto fifo = [](const std::string& path) {
        return [=] { ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0); };
    };
    const struct {
        const char* name;
        std::vector<std::function<void()>> setup;
        bool succeeds;
        std::string backup_afterwards;  // as look() tells it
        long removed_lines = 0;         // "Removed existing backup": only what was there
    } cases[] = {
        {"database is a link to the backup",
         {file(backup, 7), link("Brinvast_Previous.db", db)},
         true,
         "7 bytes"},
        {"database is a link elsewhere", {link(elsewhere, db)}, true, "link to elsewhere.db"},
        {"backup is a hard link to the database",
         {file(db, 3), [&] { fs::create_hard_link(db, backup); }},
         true,
         "3 bytes",
         1},
        {"backup is a link elsewhere", {file(db, 3), link(elsewhere, backup)}, true, "3 bytes", 1},
        {"backup is a link to the database",
         {file(db, 3), link("Brinvast.db", backup)},
         true,
         "3 bytes",
         1},
        {"backup is a dangling link", {file(db, 3), link("gone", backup)}, true, "3 bytes"},
        {"backup is a fifo", {file(db, 3), fifo(backup)}, true, "3 bytes", 1},
        {"database is a directory", {file(db + "/inside", 3), file(backup, 7)}, false, "7 bytes"},
        {"database is a fifo", {file(backup, 7), fifo(db)}, false, "7 bytes"},
        {"database is a dangling link", {file(backup, 7), link("gone", db)}, true, "7 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh_tree();
        install({.app = a_bundle});
        write_file(elsewhere, 11);
        fs::create_directories(fs::path(db).parent_path());
        for (const auto& step : c.setup)
            step();
        const std::string db_before = look(db);
        BrinvastUninstaller& uninstaller = engine();
        EXPECT_EQ(uninstaller.run(), c.succeeds);
        const Lines lines = printed();
        EXPECT_EQ(look(backup), c.backup_afterwards);
        EXPECT_EQ(fs::file_size(elsewhere), 11u) << "not ours";
        EXPECT_EQ(
            std::ranges::count_if(
                lines, [](const std::string& l) { return l.starts_with("🗑️  Removed"); }),
            c.removed_lines);
        if (c.succeeds) {
            EXPECT_EQ(look(db), db_before == "link to gone" ? db_before : "nothing");
            EXPECT_EQ(lines.back(), "🚀 System is ready for fresh Brinvast installation");
            continue;
        }
        EXPECT_EQ(look(db), db_before) << "a refused database stays where it was";
        EXPECT_TRUE(fs::exists(app)) << "refused before the bundle was touched";
        EXPECT_EQ(
            std::ranges::count_if(lines,
                                  [](const std::string& line) {
                                      return line.starts_with("❌ Failed to backup database: ");
                                  }),
            1);
    }
}

}  // namespace
