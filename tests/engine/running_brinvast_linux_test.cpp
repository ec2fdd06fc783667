// SPDX-License-Identifier: MIT
// A Brinvast that runs from the bundle stops every real run before it touches anything, and is
// reported by a dry run. The stand-in is a copy of sleep(1) started from inside a bundle.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "engine_test.h"
#include "processes.h"
#include "test_tree.h"
#include "uninstaller.h"

extern char** environ;

namespace {

using brinvast::BrinvastUninstaller;
using brinvast::Outcome;
using brinvast::testing::inventory;
using brinvast::testing::write_file;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

const std::string rule(60, '=');

// A process started from `executable`, a copy of sleep(1), killed and reaped when it goes.
// posix_spawn returns once the new program runs, so the process is visible at once.
class StandIn {
public:
    explicit StandIn(const std::string& executable) : executable_(executable) {
        write_file(executable);
        fs::copy_file("/bin/sleep", executable, fs::copy_options::overwrite_existing);
        char name[] = "Brinvast";
        char seconds[] = "600";
        char* const argv[] = {name, seconds, nullptr};
        if (::posix_spawn(&pid_, executable.c_str(), nullptr, nullptr, argv, environ) != 0) {
            pid_ = 0;
        }
    }
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;
    ~StandIn() { stop(); }

    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }
    [[nodiscard]] bool running() const { return pid_ > 0; }
    // The line naming this process, marked as `mark` says.
    [[nodiscard]] std::string line(const std::string& mark, const std::string& suffix = "") const {
        return mark + "Brinvast is running (pid " + std::to_string(pid_) +
               ", user root): " + executable_ + suffix;
    }

private:
    std::string executable_;
    pid_t pid_ = 0;
};

class RunningBrinvastTest : public brinvast::testing::EngineTest {
protected:
    void SetUp() override {
        install({.app = brinvast::testing::a_bundle,
                 .database = brinvast::testing::bytes(3),
                 .documents = {{"notes.txt", brinvast::testing::bytes(1)}}});
    }
    static bool contains(const Lines& lines, const std::string& line) {
        return std::ranges::find(lines, line) != lines.end();
    }
};

TEST_F(RunningBrinvastTest, RealRunRefusesUntouchedAndSucceedsOnceBrinvastHasQuit) {
    StandIn brinvast(app + "/Contents/MacOS/Brinvast");
    ASSERT_TRUE(brinvast.running());
    const auto before = inventory(root.path());
    for (const bool clean_all : {false, true}) {
        SCOPED_TRACE(clean_all ? "complete removal" : "standard");
        BrinvastUninstaller& uninstaller = engine(false, clean_all);
        EXPECT_FALSE(uninstaller.run());
        EXPECT_EQ(uninstaller.outcome(), Outcome::brinvast_running);
        const Lines lines = printed();
        const auto refusal = std::ranges::find(lines, brinvast.line("❌ "));
        ASSERT_NE(refusal, lines.end());
        EXPECT_EQ(
            Lines(refusal, lines.end()),
            (Lines{brinvast.line("❌ "), "   Quit Brinvast, then run the uninstaller again", "",
                   rule, "❌ Uninstall failed!", rule, "⚠️  Attempting automatic rollback...",
                   "🔄 No rollback actions needed"}));
        EXPECT_FALSE(contains(lines, "📱 Step 1: Removing Application"));
        EXPECT_EQ(inventory(root.path()), before);
    }

    brinvast.stop();
    BrinvastUninstaller& uninstaller = engine(false, false);
    EXPECT_TRUE(uninstaller.run());
    EXPECT_NE(uninstaller.outcome(), Outcome::brinvast_running);
    EXPECT_FALSE(fs::exists(app));
    EXPECT_TRUE(fs::exists(backup));
}

// A dry run names the process as a warning, changes nothing, and ends as a real run would. A
// sibling whose name only begins like the bundle's is not the bundle.
TEST_F(RunningBrinvastTest, DryRunWarnsOfRunningBrinvastAndGoesOn) {
    StandIn brinvast(app + "/Contents/MacOS/Brinvast");
    StandIn neighbour(app + "-old/Contents/MacOS/Brinvast");
    ASSERT_TRUE(brinvast.running() && neighbour.running());
    const auto before = inventory(root.path());
    for (const bool clean_all : {false, true}) {
        SCOPED_TRACE(clean_all ? "complete removal" : "standard");
        BrinvastUninstaller& uninstaller = engine(true, clean_all);
        EXPECT_TRUE(uninstaller.run());
        EXPECT_EQ(uninstaller.outcome(), Outcome::brinvast_running);
        const Lines lines = printed();
        const auto warning = std::ranges::find(lines, brinvast.line("⚠️  "));
        ASSERT_NE(warning, lines.end());
        EXPECT_EQ(*(warning + 1), "   A real run refuses until Brinvast has quit");
        EXPECT_FALSE(contains(lines, neighbour.line("⚠️  ")));
        EXPECT_TRUE(contains(lines, "🎉 Uninstall completed successfully!"));
        EXPECT_EQ(inventory(root.path()), before);
    }
}

// Brinvast started after the run's first look still stops each destructive step; so does one
// still running from a bundle that someone else deleted, since it may hold the database.
TEST_F(RunningBrinvastTest, EveryDestructiveStepLooksAgain) {
    StandIn brinvast(app + "/Contents/MacOS/Brinvast");
    ASSERT_TRUE(brinvast.running());
    const auto before = inventory(root.path());
    const struct {
        const char* step;
        bool clean_all;
        bool (BrinvastUninstaller::*act)();
    } steps[] = {
        {"remove_application", false, &BrinvastUninstaller::remove_application},
        {"backup_database", false, &BrinvastUninstaller::backup_database},
        {"remove_all_directories", true, &BrinvastUninstaller::remove_all_directories},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.step);
        BrinvastUninstaller& uninstaller = engine(false, step.clean_all);
        EXPECT_FALSE((uninstaller.*step.act)());
        EXPECT_TRUE(contains(printed(), brinvast.line("❌ ")));
        EXPECT_TRUE(uninstaller.actions_performed.empty());
        EXPECT_EQ(inventory(root.path()), before);
    }

    fs::remove_all(app);
    BrinvastUninstaller& uninstaller = engine(false, false);
    EXPECT_FALSE(uninstaller.run());
    EXPECT_TRUE(contains(printed(), brinvast.line("❌ ", " (deleted)")));
    EXPECT_TRUE(fs::exists(db));
}

// Another user's process, whose executable nobody may read, is no match: as nobody, the dry
// run sees no Brinvast running from root's stand-in.
TEST_F(RunningBrinvastTest, ProcessWhoseExecutableCannotBeReadIsNoMatch) {
    StandIn brinvast(app + "/Contents/MacOS/Brinvast");
    ASSERT_TRUE(brinvast.running());
    brinvast::testing::give_to_nobody(root.path());
    const auto [ran, lines] = as_nobody(
        false, [](BrinvastUninstaller& engine) { return engine.run(); }, true);
    ASSERT_TRUE(ran);
    for (const std::string& line : lines)
        EXPECT_EQ(line.find("Brinvast is running"), std::string::npos) << line;
}

// macOS runs a quarantined copy translocated: from a read-only mirror of the bundle (or of its
// folder) under a name of its own, whose files keep the bundle's inode numbers on a device of
// the mirror's. Records as the seam gives them are matched; one that mirrors a neighbour is not.
TEST_F(RunningBrinvastTest, TranslocatedBrinvastIsFoundThroughItsMirror) {
    const std::string executable = app + "/Contents/MacOS/Brinvast";
    write_file(executable, 1);
    fs::permissions(executable, fs::perms::owner_exec, fs::perm_options::add);
    struct stat file {};
    ASSERT_EQ(::stat(executable.c_str(), &file), 0);
    const std::string mount = "/private/var/folders/x/T/AppTranslocation/ID";
    const std::string seen = mount + "/d/Brinvast.app/Contents/MacOS/Brinvast";
    const struct {
        std::string mirrored_from;
        std::string path;
        dev_t mirrored_device;
        bool runs;
    } cases[] = {
        {app, seen, 0, true},
        {root / "Applications", mount + "/Brinvast.app/Contents/MacOS/Brinvast", 0, true},
        {root / "elsewhere", mount + "/Brinvast", file.st_dev, true},
        {app + "-old", seen, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mirrored_from);
        brinvast::platform::Process process;
        process.pid = 1;
        process.executable = c.path;
        process.device = file.st_dev + 1;
        process.inode = file.st_ino;
        process.mirrored_from = c.mirrored_from;
        process.mirror_at = mount;
        process.mirrored_device = c.mirrored_device;
        EXPECT_EQ(brinvast::running_from(app, {process}).size(), c.runs ? 1u : 0u);
    }
}

}  // namespace
