// SPDX-License-Identifier: MIT
// The database moves to its backup name with its -wal, -shm and -journal files, and back again,
// the older backup with it; whatever fails, each set stays together under its own name.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>

#include "engine_test.h"
#include "test_tree.h"
#include "uninstaller.h"

namespace {

using brinvast::BrinvastUninstaller;
using brinvast::testing::Files;  // by name in the database folder
using brinvast::testing::Immutable;
using brinvast::testing::inventory;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

class SidecarsTest : public brinvast::testing::EngineTest {
protected:
    // The database folder holding `files` and nothing else.
    void put(const Files& files) {
        fresh_tree();
        install({.database_folder = files});
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

    const std::string folder = fs::path(db).parent_path();
};

TEST_F(SidecarsTest, SidecarsMoveWithTheDatabaseAndBackOnRollback) {
    const struct {
        const char* name;
        Files before;
        Files backed_up;
        Lines lines;  // each % stands for the database folder
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
          "✅ Moved sidecar: %Brinvast.db-journal → %Brinvast_Previous.db-journal"}},
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
          "✅ Moved sidecar: %Brinvast.db-wal → %Brinvast_Previous.db-wal"}},
        {"an orphaned sidecar at the backup name",
         {{"Brinvast.db", "d"}, {"Brinvast_Previous.db-shm", "old s"}},
         {{"Brinvast_Previous.db", "d"}},
         {"🗑️  Removed existing backup: %Brinvast_Previous.db-shm",
          "✅ Renamed database: %Brinvast.db → %Brinvast_Previous.db"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
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
        EXPECT_EQ(files(), c.before) << "the older backup comes back too";
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

// Whatever a kill left of a move, the next run puts it right from what stands where, with one
// line before it looks at anything; a dry run only says what a real run would do. Where names
// and entries disagree nothing moves, and the run fails saying where the files are.
TEST_F(SidecarsTest, CutShortMovesArePutRightFromWhatStandsWhere) {
    const Files both{{"Brinvast.db", "d"},
                     {"Brinvast.db-wal", "w"},
                     {"Brinvast_Previous.db", "old"},
                     {"Brinvast_Previous.db-wal", "old w"}};
    const Files moved{{"Brinvast_Previous.db", "d"}, {"Brinvast_Previous.db-wal", "w"}};
    const std::string moving = at(".brinvast-uninstall-moving");
    const std::string discard = at(".brinvast-uninstall-discard");
    const auto rename = [](const std::string& from, const std::string& to) {
        return [=] { fs::rename(from, to); };
    };
    const std::string undid = "🔄 Undid an interrupted database backup: the database is back at ";
    const std::string cannot = "❌ Cannot put right an interrupted database backup: ";
    const struct {
        const char* name;
        std::vector<std::function<void()>> cut;  // what the kill left instead of a whole move
        std::string line;
        Files after;
    } cases[] = {
        {"killed once the live set had moved", {}, undid + db, both},
        {"killed between the database and its -wal",
         {rename(at("Brinvast_Previous.db-wal"), at("Brinvast.db-wal"))},
         undid + db,
         both},
        {"killed while the older backup was set aside",
         {rename(at("Brinvast_Previous.db"), db),
          rename(at("Brinvast_Previous.db-wal"), db + "-wal"),
          rename(moving + "/Brinvast_Previous.db", at("Brinvast_Previous.db"))},
         "🔄 Put back the older backup that an interrupted run had set aside: " + backup,
         both},
        {"killed while the replaced backup was deleted",
         {rename(moving, discard), [&] { fs::remove(discard + "/Brinvast_Previous.db"); }},
         "🔄 Finished an interrupted database backup: the database is at " + backup,
         moved},
        {"a discard journal whose database went back",
         {rename(moving, discard), rename(at("Brinvast_Previous.db"), db),
          rename(at("Brinvast_Previous.db-wal"), db + "-wal")},
         cannot + at("Brinvast_Previous.db") + " does not hold what the database left there",
         {{"Brinvast.db", "d"}, {"Brinvast.db-wal", "w"}}},
        {"a new database where the old one would go back",
         {[&] { std::ofstream(db) << "new"; }},
         cannot + db + " is not the database's, and would pair with it",
         {{"Brinvast.db", "new"},
          {"Brinvast_Previous.db", "d"},
          {"Brinvast_Previous.db-wal", "w"}}},
        {"an empty journal without a record",
         {rename(at("Brinvast_Previous.db"), db),
          rename(at("Brinvast_Previous.db-wal"), db + "-wal"), [&] { fs::remove_all(moving); },
          [&] { fs::create_directory(moving); }},
         "🔄 Cleared an interrupted database backup that had not moved anything yet: " + db,
         {{"Brinvast.db", "d"}, {"Brinvast.db-wal", "w"}}},
        {"a journal that cannot be looked into",
         {rename(at("Brinvast_Previous.db"), db),
          rename(at("Brinvast_Previous.db-wal"), db + "-wal"), [&] { fs::remove_all(moving); },
          [&] { std::ofstream(moving) << "?"; }},
         cannot + "Not a directory: " + moving,
         {{".brinvast-uninstall-moving", "?"}, {"Brinvast.db", "d"}, {"Brinvast.db-wal", "w"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        put(both);
        // A bundle that cannot be removed ends each run right after the recovery, as it left
        // things.
        install({.app = {{"Contents/MacOS/Brinvast", ""}}});
        const Immutable bundle(app + "/Contents/MacOS/Brinvast");
        ASSERT_TRUE(bundle.applied());
        ASSERT_TRUE(engine().backup_database());
        for (const auto& step : c.cut)
            step();
        const auto left = inventory(folder);
        (void)engine(true).run();
        const Lines dry = printed();
        EXPECT_EQ(inventory(folder), left) << "a dry run changes nothing";
        const bool refused = c.line.starts_with(cannot);
        ASSERT_GE(dry.size(), 6u);
        EXPECT_TRUE(dry[5].starts_with(refused ? "⚠️  A real run cannot put right"
                                               : "🔄 DRY RUN: A real run would first"))
            << dry[5];

        EXPECT_FALSE(engine().run());
        const Lines lines = printed();
        ASSERT_GE(lines.size(), 7u);
        EXPECT_EQ(lines[4], c.line);
        EXPECT_EQ(files(), c.after);
        EXPECT_EQ(fs::exists(moving) || fs::exists(discard), refused);
        if (refused) {
            EXPECT_EQ(inventory(folder), left) << "nothing moved";
        }
    }
}

// A sidecar without its database would pair with the next installation's: it is set aside once,
// its bytes kept under a name that pairs with nothing, and the next run finds the machine clean.
TEST_F(SidecarsTest, LoneSidecarsAreSetAsideOnceAndTheNextRunIsClean) {
    put({{"Brinvast.db-wal", "w"}, {"Brinvast.db-shm", "s"}});
    EXPECT_TRUE(engine().run());
    const Lines lines = printed();
    for (const std::string suffix : {"-wal", "-shm"}) {
        EXPECT_NE(std::ranges::find(lines, "✅ Set aside sidecar without its database: " + db +
                                               suffix + " → " + db + ".set-aside-1" + suffix),
                  lines.end());
    }
    EXPECT_EQ(files(),
              (Files{{"Brinvast.db.set-aside-1-shm", "s"}, {"Brinvast.db.set-aside-1-wal", "w"}}));
    EXPECT_TRUE(engine().run());
    EXPECT_EQ(printed().back(), "✅ System already clean - nothing to uninstall");
}

// A move that fails at any step sends back whatever had moved, the older backup included, and
// leaves no journal behind. A rollback that fails midway leaves the whole set at the backup name.
TEST_F(SidecarsTest, AnyFailureLeavesBothSetsWholeUnderTheirNames) {
    const Files before{{"Brinvast.db", "d"},
                       {"Brinvast.db-wal", "w"},
                       {"Brinvast.db-shm", "s"},
                       {"Brinvast_Previous.db", "old"},
                       {"Brinvast_Previous.db-journal", "old j"}};
    const std::string locked = std::string("Locked (") + Immutable::flag + ")";
    const struct {
        const char* name;
        const char* stuck;  // made immutable, or a directory when it is not in `before`
        std::string error;
    } cases[] = {
        {"a directory at an older sidecar's name", "Brinvast_Previous.db-shm", "Is a directory"},
        {"an older sidecar that cannot be set aside", "Brinvast_Previous.db-journal", locked},
        {"a live sidecar that cannot move", "Brinvast.db-shm", locked},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        put(before);
        std::optional<Immutable> immutable;
        if (before.contains(c.stuck)) {
            ASSERT_TRUE(immutable.emplace(at(c.stuck)).applied());
        } else {
            fs::create_directories(at(c.stuck));
        }
        EXPECT_FALSE(engine().backup_database());
        EXPECT_EQ(printed_after(2),
                  Lines{"❌ Failed to backup database: " + c.error + ": " + at(c.stuck)});
        EXPECT_EQ(files(), before);
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()),
                  static_cast<long>(before.size() + (immutable ? 0 : 1)))
            << "no journal left";
    }
    // A rollback meets what it may not move before it moves anything, and sets aside what stands
    // in its way.
    fs::remove_all(at("Brinvast_Previous.db-shm"));
    fs::remove(at("Brinvast_Previous.db-journal"));
    BrinvastUninstaller& uninstaller = engine();
    ASSERT_TRUE(uninstaller.backup_database());
    (void)printed();
    fs::create_directories(at("Brinvast.db-shm"));
    {
        const Immutable stuck(at("Brinvast_Previous.db-wal"));
        ASSERT_TRUE(stuck.applied());
        uninstaller.rollback_changes();
        EXPECT_EQ(printed_after(1), Lines{"❌ Rollback step 1 failed: " + locked + ": " +
                                          at("Brinvast_Previous.db-wal")});
        EXPECT_EQ(files(), (Files{{"Brinvast_Previous.db", "d"},
                                  {"Brinvast_Previous.db-wal", "w"},
                                  {"Brinvast_Previous.db-shm", "s"}}));
    }
    uninstaller.rollback_changes();
    const Lines lines = printed_after(1);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "🔄 Set aside what stood in the way: " + at("Brinvast.db-shm") + " → " +
                                 at("Brinvast.db.set-aside-1-shm"));
    EXPECT_EQ(files(), (Files{{"Brinvast.db", "d"},
                              {"Brinvast.db-wal", "w"},
                              {"Brinvast.db-shm", "s"},
                              {"Brinvast_Previous.db", "old"}}));
    EXPECT_TRUE(fs::is_directory(at("Brinvast.db.set-aside-1-shm")));
}

}  // namespace
