// SPDX-License-Identifier: MIT
// Whole uninstall runs: their transcripts, the steps each machine state calls for, the failure
// report with its rollback, and the user's Ctrl-C.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <sstream>

#include "engine_test.h"
#include "golden.h"
#include "test_tree.h"
#include "uninstaller.h"

namespace {

using brinvast::BrinvastUninstaller;
using brinvast::testing::a_bundle;
using brinvast::testing::expected;
using brinvast::testing::lines_of;
using brinvast::testing::Product;
using brinvast::testing::typical_product;
using brinvast::testing::write_file;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

const std::string rule(60, '=');
const Lines failure_report{"", rule, "❌ Uninstall failed!", rule};
const std::string rolling_back = "⚠️  Attempting automatic rollback...";
const std::string app_warning =
    "⚠️  Application removal rollback not possible - app was deleted";
const std::string step1 = "📱 Step 1: Removing Application";
const std::string backup_step = "💾 Step 2: Backing Up Database";
const std::string directories_step = "🗂️  Step 2: Removing All Brinvast Directories";
const std::string step3 = "🔍 Step 3: Verifying Clean State";
const std::string clean = "✅ System already clean - nothing to uninstall";

Lines joined(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The lines from the first one equal to `first` to the end.
Lines from(const Lines& lines, const std::string& first) {
    return Lines(std::ranges::find(lines, first), lines.end());
}

// Keeps what the engine prints, and does `act` once `trigger` has been printed: something
// happens to the machine at a known point of the run.
class AfterLine : public std::stringbuf {
public:
    AfterLine(const std::string& trigger, std::function<void()> act)
        : trigger_("\n" + trigger + "\n"), act_(std::move(act)) {}
    [[nodiscard]] bool acted() const { return acted_; }

protected:
    int sync() override {
        if (!acted_ && str().ends_with(trigger_)) {
            acted_ = true;
            act_();
        }
        return 0;
    }

private:
    std::string trigger_;
    std::function<void()> act_;
    bool acted_ = false;
};

class RunTest : public brinvast::testing::EngineTest {
protected:
    // Runs a new engine over the tree; its result, and its lines after the start-up line.
    std::pair<bool, Lines> run(bool clean_all, bool dry_run = false) {
        BrinvastUninstaller& uninstaller = engine(dry_run, clean_all);
        const bool result = uninstaller.run();
        actions = uninstaller.actions_performed;
        return {result, printed()};
    }
    // A real run's whole report as the golden files write it; the run must succeed.
    std::string golden_run(bool clean_all) {
        std::ostringstream report;
        EXPECT_TRUE(engine(false, clean_all, report.rdbuf()).run());
        return as_golden(report.str());
    }
    using EngineTest::install;
    void install(bool app_too, bool db_too, bool documents_too) {
        Product product;
        if (app_too) product.app = a_bundle;
        if (db_too) product.database = brinvast::testing::bytes(1572864);
        if (documents_too) product.documents = {{"report.txt", brinvast::testing::bytes(10)}};
        install(product);
    }
    std::set<std::string> snapshot() const { return brinvast::testing::inventory(root.path()); }

    const std::string found_app = "📱 Found Brinvast.app at: " + app;
    const std::string found_db = "💾 Found database at: " + db;
    const std::string size = "   Size: 1.50 MB, Modified: " + brinvast::testing::known_time_text;
    const std::string renamed = "Renamed database: " + db + " → " + backup;
    Lines actions;
};

TEST_F(RunTest, StandardRunTranscript) {
    install(typical_product);
    EXPECT_EQ(golden_run(false), expected("typical_standard_run"));
    EXPECT_FALSE(fs::exists(app) || fs::exists(db));
    EXPECT_EQ(fs::file_size(backup), 1572864u);
}

TEST_F(RunTest, CompleteRemovalTranscript) {
    install(typical_product);
    EXPECT_EQ(golden_run(true), expected("typical_complete_removal"));
    for (const std::string& path : {app, support, documents, logs})
        EXPECT_FALSE(brinvast::testing::exists_no_follow(path)) << path;
}

TEST_F(RunTest, AlreadyCleanMachineGetsNoSteps) {
    EXPECT_EQ(golden_run(false), expected("already_clean"));
}

struct StepsCase {
    const char* name;
    bool clean_all, app, db, documents;
    Lines headers;
};
void PrintTo(const StepsCase& row, std::ostream* os) {
    *os << row.name;
}

class WhichStepsTest : public RunTest, public ::testing::WithParamInterface<StepsCase> {};

TEST_P(WhichStepsTest, StateDecidesTheSteps) {
    const StepsCase& row = GetParam();
    install(row.app, row.db, row.documents);
    const auto [result, lines] = run(row.clean_all);
    Lines headers;
    std::ranges::copy_if(lines, std::back_inserter(headers), [](const std::string& line) {
        return line.find("Step ") != std::string::npos || line == clean;
    });
    EXPECT_EQ(headers, row.headers);
    EXPECT_TRUE(result);
}

INSTANTIATE_TEST_SUITE_P(
    States, WhichStepsTest,
    ::testing::Values(
        StepsCase{"StandardNothing", false, false, false, false, {clean}},
        StepsCase{"StandardDocumentsOnly", false, false, false, true, {clean}},
        StepsCase{"StandardApp", false, true, false, false, {step1, step3}},
        StepsCase{"StandardDatabase", false, false, true, false, {backup_step, step3}},
        StepsCase{"StandardBoth", false, true, true, true, {step1, backup_step, step3}},
        StepsCase{"CompleteNothing", true, false, false, false, {clean}},
        StepsCase{"CompleteDocuments", true, false, false, true, {directories_step, step3}},
        StepsCase{"CompleteDatabase", true, false, true, false, {directories_step, step3}},
        StepsCase{
            "CompleteAppNoDirectories", true, true, false, false, {step1, directories_step, step3}},
        StepsCase{"CompleteEverything", true, true, true, true, {step1, directories_step, step3}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunTest, DryRunsChangeNothing) {
    install(typical_product);
    const auto before = snapshot();
    for (const bool clean_all : {false, true}) {
        const auto [result, lines] = run(clean_all, true);
        EXPECT_TRUE(result);
        EXPECT_EQ(snapshot(), before);
        const std::string notice = "🔍 Running in DRY RUN mode - no changes will be made";
        EXPECT_EQ(std::ranges::find(lines, notice) - lines.begin(), 4) << "right after the banner";
        Lines expected{"DRY RUN: Would remove application: " + app};
        if (!clean_all) expected.push_back("DRY RUN: Would rename " + db + " to " + backup);
        for (const std::string& directory : {support, documents, logs}) {
            if (clean_all) expected.push_back("DRY RUN: Would remove directory: " + directory);
        }
        EXPECT_EQ(actions, expected);
        Lines report{"📋 Actions completed:"};
        for (const std::string& action : expected)
            report.push_back("   ✅ " + action);
        report.insert(report.end(), {"", "🚀 System is ready for fresh Brinvast installation"});
        EXPECT_EQ(from(lines, report[0]), report);
    }
}

// What locks a product folder's file or subfolder would stop a complete removal halfway.
TEST_F(RunTest, DryRunPredictsTheFailureALockInAFolderWouldCause) {
    install(typical_product);
    fs::create_directory(logs + "/old");
    for (const std::string& locked : {logs + "/brinvast.log", logs + "/old"}) {
        SCOPED_TRACE(locked);
        const brinvast::testing::Immutable lock(locked);
        BrinvastUninstaller& uninstaller = engine(true, true);
        EXPECT_TRUE(uninstaller.run()) << "its report ends as a dry run's does";
        EXPECT_EQ(uninstaller.outcome(), brinvast::Outcome::failed);
        const Lines lines = printed();
        EXPECT_NE(
            std::ranges::find(lines, "⚠️  A real run cannot remove " + logs + ": " + locked +
                                         " is locked (" + brinvast::testing::Immutable::flag + ")"),
            lines.end());
    }
}

TEST_F(RunTest, FailedApplicationRemovalLeavesNothingToRollBack) {
    install(false, true, false);
    write_file(root / "real/Brinvast.app/Contents/Info.plist", 10);
    fs::create_directories(root / "Applications");
    fs::create_directory_symlink(root / "real/Brinvast.app", app);
    const auto [result, lines] = run(false);
    EXPECT_FALSE(result);
    const Lines tail = from(lines, step1);
    ASSERT_EQ(tail.size(), 9u);
    EXPECT_TRUE(tail[2].starts_with("❌ Failed to remove application: ")) << tail[2];
    EXPECT_EQ(tail, joined({{step1, found_app, tail[2]},
                            failure_report,
                            {rolling_back, "🔄 No rollback actions needed"}}));
    EXPECT_TRUE(fs::exists(db) && fs::exists(root / "real/Brinvast.app/Contents/Info.plist"));
}

// The application writes a new database while the old one is being backed up.
TEST_F(RunTest, FailedVerificationRollsTheBackupBack) {
    install(true, true, false);
    write_file(backup, 7);
    AfterLine buffer("✅ " + renamed, [this] { write_file(db, 9); });
    EXPECT_FALSE(engine(false, false, &buffer).run());
    ASSERT_TRUE(buffer.acted());
    EXPECT_EQ(
        from(lines_of(buffer.str()), backup_step),
        joined({{backup_step, found_db, size, "🗑️  Removed existing backup: " + backup,
                 "✅ " + renamed, "", step3, "", "🔍 Verifying clean state...",
                 "✅ Application successfully removed", "❌ Database still exists: " + db,
                 "✅ Backup database created: " + backup},
                failure_report,
                {rolling_back, "🔄 Attempting to rollback changes...",
                 "🔄 Set aside what stood in the way: " + db + " → " + db + ".set-aside-1",
                 "🔄 Rolled back database rename", "🔄 Put back the older backup: " + backup,
                 "✅ Rollback step 1 completed", app_warning, "✅ Rollback step 2 completed"}}));
    EXPECT_EQ(fs::file_size(db), 1572864u) << "the backed-up database takes its place again";
    EXPECT_EQ(fs::file_size(backup), 7u) << "and so does the older backup";
}

// A database that someone else moves away after the survey counts as gone, as a vanished
// directory does: the run still succeeds.
TEST_F(RunTest, DatabaseVanishingBeforeItsStepCountsAsGone) {
    const std::string not_found = "💾 Database not found at: " + db;
    const std::string no_backup = "💾 No database to backup";
    const struct {
        std::string trigger;
        Lines from_step;
    } cases[] = {
        {backup_step, {backup_step, not_found, no_backup}},
        {backup_step + "\n" + found_db + "\n" + size, {backup_step, found_db, size, no_backup}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.trigger);
        install(true, true, false);
        AfterLine buffer(c.trigger, [this] { fs::remove(db); });
        EXPECT_TRUE(engine(false, false, &buffer).run());
        const Lines lines = from(lines_of(buffer.str()), backup_step);
        ASSERT_GE(lines.size(), c.from_step.size());
        EXPECT_EQ(Lines(lines.begin(), lines.begin() + c.from_step.size()), c.from_step);
    }
}

volatile std::sig_atomic_t stray_interrupts = 0;
void count_stray_interrupt(int) {
    stray_interrupts = stray_interrupts + 1;
}

TEST_F(RunTest, InterruptDuringStepsEndsInFailureAndRollback) {
    const std::string removed_support = "✅ Removed directory: " + support;
    const Lines interrupted{"", "⚠️  Uninstall interrupted by user"};
    const struct {
        bool dry_run, clean_all;
        std::string trigger;
        Lines from_trigger;
        std::string left;
    } cases[] = {// Between two deletions: the second directory is never touched.
                 {false, true, removed_support,
                  joined({{removed_support},
                          interrupted,
                          failure_report,
                          {rolling_back, "🔄 Attempting to rollback changes...", app_warning,
                           "✅ Rollback step 1 completed"}}),
                  documents + "/report.txt"},
                 // The backup has no deletion to check the flag: the run notices before step 3.
                 {false, false, backup_step,
                  joined({{backup_step, found_db, size, "✅ " + renamed},
                          interrupted,
                          failure_report,
                          {rolling_back, "🔄 Attempting to rollback changes...",
                           "🔄 Rolled back database rename", "✅ Rollback step 1 completed",
                           app_warning, "✅ Rollback step 2 completed"}}),
                  db},
                 // The survey is interrupted too, and a dry run never rolls back.
                 {true, true, directories_step,
                  joined({{directories_step}, interrupted, failure_report}), app}};
    for (const auto& row : cases) {
        fresh_tree();
        install(true, true, true);
        struct sigaction counting {
        }, before{}, after{};
        counting.sa_handler = count_stray_interrupt;
        sigaction(SIGINT, &counting, &before);
        stray_interrupts = 0;

        AfterLine buffer(row.trigger, [] { std::raise(SIGINT); });
        EXPECT_FALSE(engine(row.dry_run, row.clean_all, &buffer).run());
        sigaction(SIGINT, &before, &after);
        EXPECT_TRUE(buffer.acted());
        EXPECT_EQ(stray_interrupts, 0) << "the run did not catch SIGINT";
        EXPECT_EQ(after.sa_handler, count_stray_interrupt) << "disposition not restored";
        EXPECT_EQ(from(lines_of(buffer.str()), row.trigger), row.from_trigger);
        EXPECT_TRUE(fs::exists(row.left)) << row.left;
    }
}

}  // namespace
