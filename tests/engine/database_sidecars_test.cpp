// The database moves to its backup name with its -wal, -shm and -journal files, and back again;
// whatever fails, the set stays together under one name.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "engine_test.h"
#include "test_tree.h"
#include "uninstaller.h"

namespace {

using brinvast::BrinvastUninstaller;
using brinvast::testing::Immutable;
using brinvast::testing::stamp_known_time;
using Lines = std::vector<std::string>;
using Files = std::map<std::string, std::string>;  // name in the database folder, and contents
namespace fs = std::filesystem;

class SidecarsTest : public brinvast::testing::EngineTest {
protected:
    void put(const Files& files) {
        fs::create_directories(folder);
        for (const auto& [name, text] : files)
            std::ofstream(folder + "/" + name) << text;
        ASSERT_TRUE(stamp_known_time(db));
    }
    // The regular files of the database folder and what each holds.
    Files files() const {
        Files found;
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (!entry.is_regular_file()) continue;
            std::stringstream text;
            text << std::ifstream(entry.path()).rdbuf();
            found[entry.path().filename()] = text.str();
        }
        return found;
    }
    // What was printed, less the first `skipped` lines.
    Lines printed_after(std::size_t skipped) {
        const Lines lines = printed();
        return lines.size() < skipped ? lines : Lines(lines.begin() + skipped, lines.end());
    }
    std::string at(const std::string& name) const { return folder + "/" + name; }

    const brinvast::testing::KnownTimeZone zone;
    const std::string& db = where.BRINVAST_DATABASE_PATH;
    const std::string folder = fs::path(db).parent_path();
};

TEST_F(SidecarsTest, SidecarsMoveWithTheDatabaseAndBackOnRollback) {
    const struct {
        const char* name;
        Files before;
        Files backed_up;
        Lines lines;  // each % stands for the database folder
        Files rolled_back;
    } cases[] = {
        {"all three sidecars",
         {{"Brinvast.db", "d"},
          {"Brinvast.db-wal", "w"},
          {"Brinvast.db-shm", "s"},
          {"Brinvast.db-journal", "j"}},
         {{"Brinvast_Previous.db", "d"},
          {"Brinvast_Previous.db-wal", "w"},
          {"Brinvast_Previous.db-shm", "s"},
          {"Brinvast_Previous.db-journal", "j"}},
         {"✅ Renamed database: %Brinvast.db → %Brinvast_Previous.db",
          "✅ Moved sidecar: %Brinvast.db-wal → %Brinvast_Previous.db-wal",
          "✅ Moved sidecar: %Brinvast.db-shm → %Brinvast_Previous.db-shm",
          "✅ Moved sidecar: %Brinvast.db-journal → %Brinvast_Previous.db-journal"},
         {{"Brinvast.db", "d"},
          {"Brinvast.db-wal", "w"},
          {"Brinvast.db-shm", "s"},
          {"Brinvast.db-journal", "j"}}},
        {"an older backup whose journal has no successor",
         {{"Brinvast.db", "d"},
          {"Brinvast.db-wal", "w"},
          {"Brinvast_Previous.db", "old"},
          {"Brinvast_Previous.db-wal", "old w"},
          {"Brinvast_Previous.db-journal", "old j"}},
         {{"Brinvast_Previous.db", "d"}, {"Brinvast_Previous.db-wal", "w"}},
         {"🗑️  Removed existing backup: %Brinvast_Previous.db",
          "🗑️  Removed existing backup: %Brinvast_Previous.db-wal",
          "🗑️  Removed existing backup: %Brinvast_Previous.db-journal",
          "✅ Renamed database: %Brinvast.db → %Brinvast_Previous.db",
          "✅ Moved sidecar: %Brinvast.db-wal → %Brinvast_Previous.db-wal"},
         {{"Brinvast.db", "d"}, {"Brinvast.db-wal", "w"}}},
        {"an orphaned sidecar at the backup name",
         {{"Brinvast.db", "d"}, {"Brinvast_Previous.db-shm", "old s"}},
         {{"Brinvast_Previous.db", "d"}},
         {"🗑️  Removed existing backup: %Brinvast_Previous.db-shm",
          "✅ Renamed database: %Brinvast.db → %Brinvast_Previous.db"},
         {{"Brinvast.db", "d"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(folder);
        put(c.before);
        BrinvastUninstaller& uninstaller = engine();
        EXPECT_TRUE(uninstaller.backup_database());
        Lines expected;
        for (std::string line : c.lines) {
            for (auto pos = line.find('%'); pos != std::string::npos; pos = line.find('%'))
                line.replace(pos, 1, folder + "/");
            expected.push_back(line);
        }
        EXPECT_EQ(printed_after(2), expected);
        EXPECT_EQ(files(), c.backed_up);

        uninstaller.rollback_changes();
        const Lines rollback = printed();
        ASSERT_FALSE(rollback.empty());
        EXPECT_EQ(rollback.back(), "✅ Rollback step 1 completed");
        EXPECT_EQ(files(), c.rolled_back);
    }
}

TEST_F(SidecarsTest, DryRunNamesTheSidecarsAndMovesNothing) {
    const Files before{{"Brinvast.db", "d"}, {"Brinvast.db-journal", "j"}};
    put(before);
    EXPECT_TRUE(engine(true).backup_database());
    EXPECT_EQ(printed_after(2),
              (Lines{"✅ DRY RUN: Would rename " + db + " to " + at("Brinvast_Previous.db"),
                     "✅ DRY RUN: Would move sidecar " + db + "-journal to " +
                         at("Brinvast_Previous.db-journal")}));
    EXPECT_EQ(files(), before);
}

// Whatever state a kill left the move in, the next run (a dry run too) puts it right with one line
// before it looks at anything, and then sees each set whole.
TEST_F(SidecarsTest, CutShortMovesArePutRightBeforeAnythingIsLookedAt) {
    const std::string& backup = where.BRINVAST_BACKUP_DATABASE_PATH;
    const struct {
        const char* journal;
        Files in_journal;
        Files beside;
        std::string line;
        Files after;
    } cases[] = {
        {".brinvast-uninstall-aside",
         {{"Brinvast_Previous.db", "old"}},
         {{"Brinvast.db", "d"}, {"Brinvast.db-wal", "w"}, {"Brinvast_Previous.db-wal", "old w"}},
         "🔄 Put back the older backup that an interrupted run had set aside: " + backup,
         {{"Brinvast.db", "d"},
          {"Brinvast.db-wal", "w"},
          {"Brinvast_Previous.db", "old"},
          {"Brinvast_Previous.db-wal", "old w"}}},
        {".brinvast-uninstall-moving",
         {{"Brinvast_Previous.db", "old"}, {"Brinvast_Previous.db-wal", "old w"}},
         {{"Brinvast_Previous.db", "d"}, {"Brinvast.db-wal", "w"}},
         "🔄 Undid an interrupted database backup: the database is back at " + db,
         {{"Brinvast.db", "d"},
          {"Brinvast.db-wal", "w"},
          {"Brinvast_Previous.db", "old"},
          {"Brinvast_Previous.db-wal", "old w"}}},
        {".brinvast-uninstall-discard",
         {{"Brinvast_Previous.db-wal", "old w"}},
         {{"Brinvast_Previous.db", "d"}, {"Brinvast_Previous.db-wal", "w"}},
         "🔄 Finished an interrupted database backup: the database is at " + backup,
         {{"Brinvast_Previous.db", "d"}, {"Brinvast_Previous.db-wal", "w"}}},
        {".brinvast-uninstall-restoring",
         {},
         {{"Brinvast.db", "d"}, {"Brinvast_Previous.db-wal", "w"}},
         "🔄 Finished an interrupted rollback: the database is back at " + db,
         {{"Brinvast.db", "d"}, {"Brinvast.db-wal", "w"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.journal);
        fs::remove_all(folder);
        fs::create_directories(at(c.journal));
        for (const auto& [name, text] : c.in_journal)
            std::ofstream(at(c.journal) + "/" + name) << text;
        for (const auto& [name, text] : c.beside)
            std::ofstream(at(name)) << text;
        (void)engine(true).run();
        const Lines lines = printed();
        ASSERT_GE(lines.size(), 8u);
        EXPECT_EQ(lines[5], c.line);
        EXPECT_EQ(lines[6], "");
        EXPECT_EQ(lines[7], "📋 Current State:");
        EXPECT_EQ(files(), c.after);
        EXPECT_FALSE(fs::exists(at(c.journal)));
    }
}

// A move that fails at any step sends back whatever had moved, the older backup included, and
// leaves no journal behind. A rollback that fails midway leaves the whole set at the backup name.
TEST_F(SidecarsTest, AnyFailureLeavesBothSetsWholeUnderTheirNames) {
    const Files before{{"Brinvast.db", "d"},
                       {"Brinvast.db-wal", "w"},
                       {"Brinvast.db-shm", "s"},
                       {"Brinvast_Previous.db", "old"},
                       {"Brinvast_Previous.db-journal", "old j"}};
    const struct {
        const char* name;
        const char* stuck;  // made immutable, or a directory when it is not in `before`
        const char* error;
    } cases[] = {
        {"a directory at an older sidecar's name", "Brinvast_Previous.db-shm", "Is a directory"},
        {"an older sidecar that cannot be set aside", "Brinvast_Previous.db-journal",
         "Operation not permitted"},
        {"a live sidecar that cannot move", "Brinvast.db-shm", "Operation not permitted"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(folder);
        put(before);
        std::optional<Immutable> immutable;
        if (before.contains(c.stuck)) {
            ASSERT_TRUE(immutable.emplace(at(c.stuck)).applied());
        } else {
            fs::create_directories(at(c.stuck));
        }
        EXPECT_FALSE(engine().backup_database());
        EXPECT_EQ(printed_after(2), Lines{"❌ Failed to backup database: " + std::string(c.error) +
                                          ": " + at(c.stuck)});
        EXPECT_EQ(files(), before);
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()),
                  static_cast<long>(before.size() + (immutable ? 0 : 1)))
            << "no journal left";
    }
    fs::remove_all(at("Brinvast_Previous.db-shm"));
    fs::remove(at("Brinvast_Previous.db-journal"));
    BrinvastUninstaller& uninstaller = engine();
    ASSERT_TRUE(uninstaller.backup_database());
    (void)printed();
    fs::create_directories(at("Brinvast.db-shm"));
    uninstaller.rollback_changes();
    const Lines lines = printed_after(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("❌ Rollback step 1 failed: Is a directory: ")) << lines[0];
    EXPECT_EQ(files(), (Files{{"Brinvast_Previous.db", "d"},
                              {"Brinvast_Previous.db-wal", "w"},
                              {"Brinvast_Previous.db-shm", "s"}}));
}

}  // namespace
