// SPDX-License-Identifier: MIT
// The database set survives a kill at any rename or unlink, every signal that ends a run, and a
// second run at once: real SQLite databases in WAL mode, whose rows are counted afterwards.

#include <gmock/gmock.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "sandbox.h"

namespace brinvast::testing {
namespace {

using ::testing::AnyOf;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using CrashEndToEnd = Sandbox;

const std::string untouched = "live:1000 | old:400";
const std::string backed_up = "none | live:1000";
// The backup name holds the live set: folded into one file, or with its sidecars.
const std::string folded = "Brinvast_Previous.db ";
const std::string with_sidecars =
    "Brinvast_Previous.db Brinvast_Previous.db-shm Brinvast_Previous.db-wal ";

// Each line of `text` as its tab-separated "key=value" fields.
std::vector<std::map<std::string, std::string>> records_of(const std::string& text) {
    std::vector<std::map<std::string, std::string>> records;
    for (const std::string& line : lines_of(text)) {
        std::map<std::string, std::string> record;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');) {
            const auto equals = field.find('=');
            record[field.substr(0, equals)] = field.substr(equals + 1);
        }
        records.push_back(record);
    }
    return records;
}

// The faults of the in-process sweeps (tests/engine/crash_sweep_test.cpp), one call of each kind,
// through the whole program under strace, to show that it is wired the same way: a kill at a
// rename and at an unlink, an I/O error at an fsync and at a rename, a kill at a rename of the
// rollback that Ctrl-C brings about, and a kill followed by a reinstalled Brinvast that opens a
// database of its own. And at every call that SQLite makes when it folds the sidecars, which
// the table of calls does not reach: a kill at each unlink, an I/O error at each fdatasync.
// After each, what the sweeps check: no run that reported success left a journal that would undo
// it; no main file beside another set's sidecar; a dry run changes nothing and says what a real
// run will put right; a real run puts it right first, with one line, and leaves both sets whole
// under their own names, the older backup gone only after a run that had succeeded; and a last
// run leaves the live set whole under the backup name.
class FaultUnderStrace : public Sandbox, public ::testing::WithParamInterface<std::string> {};

TEST_P(FaultUnderStrace, LosesNoRow) {
    const std::string kind = GetParam().substr(0, GetParam().find(' '));
    const Outcome run = sandboxed("crash_table '" + GetParam() + "'");
    ASSERT_EQ(run.status, "none") << run.err;
    const auto records = records_of(run.out);
    EXPECT_GE(records.size(), kind == GetParam() ? 2u : 1u) << "faults at every call of the kind";
    for (auto record : records) {
        SCOPED_TRACE(record["case"]);
        const bool kill = kind != "fsync" && kind != "fdatasync" && kind != "eio_rename";
        if (kill) {
            EXPECT_EQ(record["ended"], "137") << "every call was reached";
        }
        if (record["succeeded"] == "1") {
            EXPECT_NE(record["journal"], ".brinvast-uninstall-moving") << "no undo behind success";
        }
        EXPECT_EQ(record["mixed"], "ok");
        // A dry run's status is the real run's: one that cannot put the move right fails.
        EXPECT_EQ(record["dry"], record["dry_refused"] == "1" ? "1" : "0");
        EXPECT_EQ(record["dry_changed"], "0") << "a dry run changes nothing";
        EXPECT_EQ(record["stopped"], "1") << "the link in place of the bundle stops it";
        if (record["dry_refused"] == "1") {
            // A database of its own where ours would go back: nothing moves, and the run fails
            // naming where each set stands.
            EXPECT_EQ(kind, "rename+reinstall");
            EXPECT_EQ(record["refused"], "1");
            EXPECT_EQ(record["everywhere"], "fresh:10 | live:1000 | old:400");
            EXPECT_EQ(record["real"], "1");
            continue;
        }
        const bool pending = record["journal"] != "none";
        EXPECT_EQ(record["dry_would"], pending ? "1" : "0");
        if (record["dry_clean"] == "1") {
            EXPECT_FALSE(pending) << "never clean while one waits";
        }
        EXPECT_EQ(record["put_right"], pending ? "1" : "0");
        EXPECT_EQ(record["refused"], "0");
        if (record["journal"] == ".brinvast-uninstall-discard") {
            EXPECT_EQ(record["recovered"], backed_up);
        } else if (pending) {
            EXPECT_EQ(record["recovered"], untouched) << "undone, the older backup included";
        } else {
            EXPECT_THAT(record["recovered"], AnyOf(untouched, backed_up));
        }
        EXPECT_EQ(record["real"], "0");
        EXPECT_EQ(record["final"], backed_up);
        EXPECT_THAT(record["left"], AnyOf(folded, with_sidecars));
    }
}

INSTANTIATE_TEST_SUITE_P(CrashEndToEnd, FaultUnderStrace,
                         ::testing::Values("rename 4", "unlinkat 8", "fsync 7", "eio_rename 5",
                                           "rollback 7", "rename+reinstall 6", "unlink",
                                           "fdatasync"),
                         [](const auto& row) {
                             std::string name = row.param;
                             std::replace(name.begin(), name.end(), '+', '_');
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

// Ctrl-C at every rename from the first on (so also during the rollback), SIGTERM once the older
// backup is set aside, SIGHUP once the database has moved, a hangup that nohup ignores, and
// Ctrl-C as the older backup is set aside for good; Ctrl-C at every call is swept in-process
// (tests/engine/crash_sweep_test.cpp). A run that heeds the interrupt rolls back, both sets back
// under their names; nothing cuts the rollback short, and a remembered Ctrl-C ends the process
// only then. Otherwise the run either had not begun to change anything or succeeds, and then ends
// with its success, however late the signal came.
TEST_F(CrashEndToEnd, SignalsThatEndARunNeverCutTheRollbackShort) {
    // The sixth rename sets the older backup aside for good, once the run has passed its checks.
    const Outcome run = sandboxed("signal_table 'INT 1+' 'TERM 3' 'HUP 5' 'HUP 5 nohup' 'INT 6'");
    ASSERT_EQ(run.status, "none") << run.err;
    for (auto record : records_of(run.out)) {
        SCOPED_TRACE(record["case"]);
        EXPECT_EQ(record["mixed"], "ok");
        EXPECT_EQ(record["journal"], "");
        if (record["interrupted"] == "1") {
            EXPECT_EQ(record["rows"], untouched);
            // Interrupted before the database moved, there is nothing of it to move back.
            EXPECT_EQ(record["older_back"], record["rolled"]);
            EXPECT_THAT(record["ended"], AnyOf("1", "130"));
        } else if (record["succeeded"] == "1") {
            EXPECT_EQ(record["rows"], backed_up);
            EXPECT_EQ(record["ended"], "0") << "a run that reports success ends as it reports";
        } else {
            EXPECT_EQ(record["ended"], "130") << "ended before anything was changed";
            EXPECT_EQ(record["rows"], untouched);
        }
    }
    auto records = records_of(run.out);
    ASSERT_GE(records.size(), 4u);
    EXPECT_EQ(records[0]["ended"], "130") << "Ctrl-C again during the rollback ends it afterwards";
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(records[i]["interrupted"] + records[i]["rolled"], "11");
    }
    EXPECT_EQ(records[1]["ended"], "1");
    EXPECT_EQ(records[3]["ended"] + records[3]["succeeded"], "01") << "nohup's hangup is ignored";
}

// A run that finds the home locked waits, with one line, and changes nothing meanwhile; then it
// runs and finds what the first left. Twenty pairs started together end with one removal and one
// "already clean", both successful.
TEST_F(CrashEndToEnd, SecondRunForTheSameHomeWaitsForTheFirst) {
    const Outcome held = sandboxed("install_product; run_while_the_home_is_held");
    const std::string banner = "🚀 Starting Brinvast Uninstaller\n" + std::string(60, '=') + "\n";
    EXPECT_EQ(held.status, "0");
    EXPECT_THAT(
        held.out,
        HasSubstr(banner + "⚠️  Another uninstall is running for this home: waiting for it to "
                           "finish\n\n📋 Current State:\n"));
    EXPECT_THAT(held.out, HasSubstr("\n🎉 Uninstall completed successfully!\n"));
    EXPECT_THAT(held.out, ::testing::EndsWith("installation\n" + expected("installed")));
    EXPECT_EQ(held.state, expected("after_standard_run"));

    const Outcome pairs = sandboxed("runs_at_once 20");
    EXPECT_EQ(pairs.status, "0");
    for (const std::string& pair : lines_of(pairs.out))
        EXPECT_EQ(pair, "0 0 1 1") << "statuses, removals, already clean";
    EXPECT_EQ(lines_of(pairs.out).size(), 20u);
    EXPECT_EQ(pairs.state, expected("after_standard_run"));
}

// A held lock is waited for as long as --wait says, then the run gives up with its own exit
// status, nothing changed; a home whose file system refuses the lock is worked on without it; a
// database folder without room for the move's journal is found before the bundle goes.
TEST_F(CrashEndToEnd, HeldLockIsWaitedForABoundedTimeAndARefusedOneIsDoneWithout) {
    const std::string banner = "🚀 Starting Brinvast Uninstaller\n" + std::string(60, '=') + "\n";
    const struct {
        const char* scenario;
        const char* status;
        std::string said;
        const char* state;
    } cases[] = {
        {"hold_home; cli --yes --wait 1", "6",
         banner +
             "⚠️  Another uninstall is running for this home: waiting for it to finish\n"
             "❌ Another uninstall kept this home busy for 1 second: nothing was changed; try again "
             "once it is done\n",
         "installed"},
        {"cli_under_strace -e inject=flock:error=ENOLCK", "0",
         banner +
             "⚠️  Cannot lock the home for this run (No locks available), going on without the "
             "lock: ~\n",
         "after_standard_run"},
        {"cli_under_strace -e inject=mkdir:error=ENOSPC", "1",
         "Modified: 2024-03-09 09:05:00\n❌ Failed to backup database: No space left on device: "
         "~/Library/Application Support/Brinvast/Database/.brinvast-uninstall-new\n",
         "installed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario);
        const Outcome run = sandboxed(std::string("install_product; ") + c.scenario);
        EXPECT_EQ(run.status, c.status);
        EXPECT_THAT(run.out, HasSubstr(c.said));
        EXPECT_EQ(run.state, expected(c.state));
    }
}

// SQLite keeps a linked database's -wal beside the file the link resolves to. A database linked
// to its backup name is only unlinked, so that its -wal stays with its data; one linked elsewhere
// moves as the link, and the older backup it replaces goes with its -wal.
TEST_F(CrashEndToEnd, DatabaseThatIsALinkKeepsItsWal) {
    const std::string folder = "~/Library/Application Support/Brinvast/Database/";
    const struct {
        const char* setup;
        std::string said;
        const char* left;
    } cases[] = {
        {R"sh(python3 "$wal_db" make "$backup" 1000 live; ln -s Brinvast_Previous.db "$db")sh",
         "\n💾 The database was a link to its backup, where it stays: only the link is gone\n",
         "Brinvast_Previous.db Brinvast_Previous.db-shm Brinvast_Previous.db-wal \n\n"},
        {R"sh(install_wal_product; rm "$db"*; elsewhere="$HOME/Documents/elsewhere.db"
              python3 "$wal_db" make "$elsewhere" 1000 live; ln -s "$elsewhere" "$db")sh",
         "\n🗑️  Removed existing backup: " + folder + "Brinvast_Previous.db-wal\n",
         "Brinvast_Previous.db \nelsewhere.db elsewhere.db-shm elsewhere.db-wal \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setup);
        const Outcome run = sandboxed(std::string(c.setup) + "; run_and_list_databases");
        EXPECT_EQ(run.status, "0");
        EXPECT_THAT(run.out, HasSubstr(c.said));
        EXPECT_THAT(run.out, HasSubstr("🎉 Uninstall completed successfully!"));
        EXPECT_THAT(run.out, ::testing::EndsWith("\nlive:1000\n" + std::string(c.left)));
    }
}

}  // namespace
}  // namespace brinvast::testing
