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

// A move that fails midway sends back what had moved; so does an older sidecar that cannot be
// deleted, which would otherwise pair with the new backup. A rollback that fails midway leaves
// the whole set at the backup name.
TEST_F(SidecarsTest, AnyFailureLeavesTheSetTogetherUnderOneName) {
    const Files set{{"Brinvast.db", "d"}, {"Brinvast.db-wal", "w"}, {"Brinvast.db-shm", "s"}};
    {
        put(set);
        fs::create_directories(at("Brinvast_Previous.db-shm"));
        EXPECT_FALSE(engine().backup_database());
        EXPECT_EQ(printed_after(2), Lines{"❌ Failed to backup database: Is a directory: " +
                                          at("Brinvast_Previous.db-shm")});
        EXPECT_EQ(files(), set);
        fs::remove(at("Brinvast_Previous.db-shm"));
    }
    {
        std::ofstream(at("Brinvast_Previous.db-journal")) << "old j";
        const Immutable stuck(at("Brinvast_Previous.db-journal"));
        ASSERT_TRUE(stuck.applied());
        EXPECT_FALSE(engine().backup_database());
        EXPECT_EQ(printed_after(2), Lines{"❌ Failed to backup database: Operation not permitted: " +
                                          at("Brinvast_Previous.db-journal")});
        Files expected = set;
        expected["Brinvast_Previous.db-journal"] = "old j";
        EXPECT_EQ(files(), expected);
    }
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
