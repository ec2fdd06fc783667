// SPDX-License-Identifier: MIT
// The database set survives a fault at any system call of a run: a kill, an I/O error, Ctrl-C, a
// kill during the rollback that Ctrl-C brings about, and a kill followed by a reinstalled Brinvast
// that opens a database of its own. Each run that a fault cuts short runs in a child process, over
// real SQLite databases in WAL mode; the rows counted, and the runs after it, judge what it left.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>

#include "engine_test.h"
#include "syscall_faults.h"
#include "wal_database.h"

namespace brinvast::testing {
namespace {

namespace fs = std::filesystem;

const std::string untouched = "live:1000 | old:400";
const std::string backed_up = "none | live:1000";
// The backup name holds the live set: folded into one file, or with its sidecars.
const std::vector<std::string> folded{"Brinvast_Previous.db"};
const std::vector<std::string> with_sidecars{"Brinvast_Previous.db", "Brinvast_Previous.db-shm",
                                             "Brinvast_Previous.db-wal"};

// The calls that change what stands on disk, or make it durable: a kill at any other call
// leaves the disk as a kill at the next of these would.
const std::vector<std::string_view> changes{"openat",    "write",    "mkdir",    "mkdirat",
                                            "rmdir",     "unlinkat", "renameat", EXCLUSIVE_RENAME,
                                            "symlinkat", "fsync",    "fcntl"};

// The fault at each call of the `kinds` in turn (of any kind when there are none): an errno, or
// a kill when `error` is 0; `always` comes in every case. With `reinstall`, a reinstalled
// Brinvast then makes a database of its own where none stands.
struct Sweep {
    const char* name;
    std::vector<std::string_view> kinds;
    int error;
    std::vector<Fault> always;
    bool reinstall = false;
};

// SQLite cannot read the database's header, so its sidecars are not folded into it: the set moves
// entry by entry.
const Fault unfolded{{"pread"}, 1, EIO};
// Ctrl-C as the move begins, so that the rollback follows it.
const Fault interrupted{{"mkdirat"}, 1, 0, SIGINT};

const Sweep sweeps[] = {
    {"KillAtEveryChange", changes, 0, {}},
    {"KillAtEveryChangeOfAMoveEntryByEntry", changes, 0, {unfolded}},
    {"KillAtEveryChangeOfTheRollback", changes, 0, {unfolded, interrupted}},
    {"KillAtEveryRenameThenReinstall", {EXCLUSIVE_RENAME}, 0, {}, true},
    {"IoErrorAtEveryCall", {}, EIO, {}},
    {"IoErrorAtEveryChangeOfAMoveEntryByEntry", changes, EIO, {unfolded}},
};

void PrintTo(const Sweep& sweep, std::ostream* out) {
    *out << sweep.name;
}

// Runs cut short by faults in child processes, over the product with real databases.
class FaultedRuns : public EngineTest {
protected:
    std::string folder() const { return fs::path(db).parent_path(); }

    // The product with real databases: the live one holds 1000 rows, the older backup 400, all
    // but one of each only in its -wal. Both sets are made once, and copied for each case.
    void install_wal_product() {
        const std::string sets = root / "sets";
        if (owners.empty()) {
            make_wal_database(sets + "/" + fs::path(db).filename().string(), 1000, "live");
            make_wal_database(sets + "/" + fs::path(backup).filename().string(), 400, "old");
            owners = owners_in(sets);
        }
        fs::remove_all(root / "Applications");
        fs::remove_all(root / "home");
        Files bundle = a_bundle;
        bundle["Contents/MacOS/Brinvast"] = "brinvast binary";
        install({.app = bundle});
        make_dirs(folder());
        fs::copy(sets, folder());
    }

    // The engine's real run in a child process, with `faults`: its exit status, its report in
    // root/run, and in root/calls how many calls of the `kinds` it made, once it ended.
    int faulted_run(const std::vector<Fault>& faults,
                    const std::vector<std::string_view>& kinds = {}) {
        return in_child([&] {
            std::ofstream report(root / "run");
            const SyscallFaults wrapped(faults);
            const bool succeeded = engine(false, false, report.rdbuf()).run();
            std::ofstream(root / "calls") << wrapped.calls(kinds);
            return succeeded ? 0 : 1;
        });
    }

    // How many calls of the `kinds` a whole run makes with `faults`.
    std::uint64_t calls_in_run(const std::vector<Fault>& faults,
                               const std::vector<std::string_view>& kinds) {
        install_wal_product();
        (void)faulted_run(faults, kinds);
        return std::stoull(read_text(root / "calls"));
    }

    std::string journal_name() const {
        for (const auto& entry : fs::directory_iterator(folder())) {
            const std::string name = entry.path().filename();
            if (name.starts_with(".brinvast-uninstall-")) return name;
        }
        return "none";
    }
    std::string rows() const { return wal_rows(db) + " | " + wal_rows(backup); }

    // A new engine's real or dry run: whether it succeeded, and its report.
    std::pair<bool, Lines> run(bool dry_run) {
        const bool succeeded = engine(dry_run).run();
        return {succeeded, printed()};
    }

    Owners owners;
};

class CrashSweep : public FaultedRuns, public ::testing::WithParamInterface<Sweep> {
protected:
    void check_fault_at(std::uint64_t n);
};

// How many of `lines` start with any of `starts`.
std::size_t count(const std::vector<std::string>& lines, std::vector<std::string> starts) {
    return std::ranges::count_if(lines, [&](const std::string& line) {
        return std::ranges::any_of(starts,
                                   [&](const auto& start) { return line.starts_with(start); });
    });
}

// Every file beneath `folder` with its contents: any change shows.
std::map<std::string, std::string> contents_of(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        files[entry.path()] = entry.is_regular_file() ? read_text(entry.path()) : "folder";
    return files;
}

// Cuts a run short with the sweep's fault at its n-th call. Then: no run that reported success
// left a journal that would undo it; no main file beside another set's sidecar; a dry run changes
// nothing and says what a real run will put right; a real run puts it right first, with one line,
// and leaves both sets whole under their own names, the older backup gone only after a run that
// had succeeded; and a last run leaves the live set whole under the backup name.
void CrashSweep::check_fault_at(std::uint64_t n) {
    const Sweep& sweep = GetParam();
    install_wal_product();
    std::vector<Fault> faults = sweep.always;
    faults.push_back({sweep.kinds, n, sweep.error, sweep.error == 0 ? SIGKILL : 0});
    const int ended = faulted_run(faults);
    if (sweep.error == 0) {
        EXPECT_EQ(ended, 128 + SIGKILL) << "every call was reached";
    }
    const std::string journal = journal_name();
    if (read_text(root / "run").find("\n🎉 Uninstall completed successfully!\n") !=
        std::string::npos) {
        EXPECT_NE(journal, ".brinvast-uninstall-moving") << "no undo behind success";
    }
    EXPECT_EQ(mixed_sets(folder(), owners), "ok");
    if (sweep.reinstall && !fs::exists(db)) make_wal_database(db, 10, "fresh");

    const auto before = contents_of(folder());
    const auto [dry_succeeded, dry] = run(true);
    EXPECT_TRUE(dry_succeeded);
    EXPECT_TRUE(contents_of(folder()) == before) << "a dry run changes nothing";

    // A link in place of the bundle, which the removal refuses: the run stops at step 1, just
    // after it has put right what the cut-short run left.
    fs::remove_all(app);
    write_file(root / "Applications/Real.app/Contents/MacOS/Brinvast", "brinvast binary");
    fs::create_directory_symlink("Real.app", app);
    const auto [stopped_succeeded, stopped] = run(false);
    EXPECT_FALSE(stopped_succeeded) << "the link in place of the bundle stops it";
    const std::size_t refused = count(stopped, {"❌ Cannot put right"});
    const std::string recovered = rows();
    const std::string in_journal =
        wal_rows(folder() + "/" + journal + "/" + fs::path(backup).filename().string());
    fs::remove_all(root / "Applications");
    const bool last_succeeded = run(false).first;
    if (count(dry, {"⚠️  A real run cannot put right"}) == 1) {
        // A database of its own where ours would go back: nothing moves, and the run fails
        // naming where each set stands.
        EXPECT_TRUE(sweep.reinstall);
        EXPECT_EQ(refused, 1u);
        EXPECT_EQ(recovered + " | " + in_journal, "fresh:10 | live:1000 | old:400");
        EXPECT_FALSE(last_succeeded);
        return;
    }
    const bool pending = journal != "none";
    EXPECT_EQ(count(dry, {"🔄 DRY RUN: A real run would first"}), pending ? 1u : 0u);
    if (count(dry, {"✅ System already clean"}) == 1) {
        EXPECT_FALSE(pending) << "never clean while one waits";
    }
    EXPECT_EQ(count(stopped, {"🔄 Undid", "🔄 Put back", "🔄 Finished", "🔄 Cleared"}),
              pending ? 1u : 0u);
    EXPECT_EQ(refused, 0u);
    if (journal == ".brinvast-uninstall-discard") {
        EXPECT_EQ(recovered, backed_up);
    } else if (pending) {
        EXPECT_EQ(recovered, untouched) << "undone, the older backup included";
    } else {
        EXPECT_TRUE(recovered == untouched || recovered == backed_up) << recovered;
    }
    EXPECT_TRUE(last_succeeded);
    EXPECT_EQ(rows(), backed_up);
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(folder()))
        left.push_back(entry.path().filename());
    std::ranges::sort(left);
    EXPECT_TRUE(left == folded || left == with_sidecars) << ::testing::PrintToString(left);
}

TEST_P(CrashSweep, LosesNoRow) {
    const std::uint64_t calls = calls_in_run(GetParam().always, GetParam().kinds);
    EXPECT_GE(calls, 2u) << "faults at every call of the kind";
    for (std::uint64_t n = 1; n <= calls; ++n) {
        SCOPED_TRACE(std::to_string(n) + " of " + std::to_string(calls));
        check_fault_at(n);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, CrashSweep, ::testing::ValuesIn(sweeps),
                         [](const auto& sweep) { return std::string(sweep.param.name); });

// Ctrl-C at every call. A run that heeds it rolls back, both sets back under their names, the
// older backup included; otherwise the run either had not begun to change anything, or succeeds.
TEST_F(FaultedRuns, CtrlCAtEveryCallEndsInARollbackOrASuccess) {
    const std::uint64_t calls = calls_in_run({}, {});
    for (std::uint64_t n = 1; n <= calls; ++n) {
        install_wal_product();
        const int ended = faulted_run({{{}, n, 0, SIGINT}});
        const Lines report = lines_of(read_text(root / "run"));
        const auto said = [&report](const std::string& start) { return count(report, {start}); };
        SCOPED_TRACE(std::to_string(n) + " of " + std::to_string(calls));
        EXPECT_EQ(mixed_sets(folder(), owners), "ok");
        EXPECT_EQ(journal_name(), "none");
        if (said("⚠️  Uninstall interrupted by user") == 1) {
            EXPECT_EQ(rows(), untouched);
            // Interrupted before the database moved, there is nothing of it to move back.
            EXPECT_EQ(said("🔄 Put back the older backup: "), said("🔄 Rolled back database rename"));
            EXPECT_TRUE(ended == 1 || ended == 128 + SIGINT) << ended;
        } else if (said("🎉 Uninstall completed successfully!") == 1) {
            EXPECT_EQ(rows(), backed_up);
        } else {
            EXPECT_EQ(ended, 128 + SIGINT) << "ended before anything was changed";
            EXPECT_EQ(rows(), untouched);
        }
    }
}

}  // namespace
}  // namespace brinvast::testing
