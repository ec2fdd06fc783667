// SPDX-License-Identifier: MIT
// The journal's manifest survives its text; a cut-short move is put right by what stands alone.

#include <gtest/gtest.h>

#include "move_journal.h"
#include "move_plan.h"

namespace {

using namespace brinvast::database_move;
using brinvast::EntryIdentity;
using brinvast::Recovery;

TEST(DatabaseMoveJournal, RecordRoundTripsThroughItsTextAndRefusesAnyOther) {
    const std::string heading = "brinvast-uninstall database move 1\n";
    for (const std::string body : {"", "live main 1 2 3 4 5\nolder -wal -16 7 0 -1 999999999\n"}) {
        const std::optional<Manifest> manifest = parse_manifest(heading + body);
        ASSERT_TRUE(manifest) << body;
        EXPECT_EQ(manifest_text(*manifest), heading + body);
    }
    EXPECT_EQ(parse_manifest(heading + "live -shm 1 2 3 4 5\n")->live[2]->size, 3);
    for (const std::string& text :
         {std::string("live main 1 2 3 4 5\n"), heading + "live main 1 2 3 4 5",
          heading + "live main 1 2 3 4\n", heading + "new main 1 2 3 4 5\n",
          heading + "live -log 1 2 3 4 5\n", heading + "live main 1 2 3 4 5x\n", heading + "\n"}) {
        EXPECT_FALSE(parse_manifest(text)) << text;
    }
}

TEST(DatabaseMovePlan, RecoveryFollowsWhatStandsUnderEachName) {
    // The database is A, the older backup B; X is neither. Each letter is a main file.
    const auto id = [](char c) {
        return c == ' ' ? std::nullopt : std::optional(EntryIdentity{1, std::uint64_t(c), 0, 0, 0});
    };
    const Manifest manifest{{id('A')}, {id('B')}};
    const struct {
        const char* journal;
        std::size_t journals;
        const char* stands;  // at the live name, at the backup name, in the journal
        Recovery recovery;
    } rows[] = {
        {NEW_JOURNAL, 1, "AB ", Recovery::cleared_unused_journal},
        {NEW_JOURNAL, 1, "A B", Recovery::cannot_tell},
        {MOVING_JOURNAL, 1, "AB ", Recovery::cleared_unused_journal},
        {MOVING_JOURNAL, 1, "A B", Recovery::restored_older_backup},
        {MOVING_JOURNAL, 1, " AB", Recovery::undid_backup},
        {MOVING_JOURNAL, 1, "XAB", Recovery::cannot_tell},
        {MOVING_JOURNAL, 1, " AX", Recovery::cannot_tell},
        {MOVING_JOURNAL, 2, " AB", Recovery::cannot_tell},
        {DISCARD_JOURNAL, 1, " AB", Recovery::finished_backup},
        {DISCARD_JOURNAL, 1, " XB", Recovery::cannot_tell},
    };
    for (const auto& row : rows) {
        const char* s = row.stands;
        const Observed seen{{id(s[0])}, {id(s[1])}, {id(s[2])}, {}};
        const RecoveryPlan plan =
            plan_recovery({"/f", "db", "old", row.journal}, row.journals, manifest, seen);
        EXPECT_EQ(plan.recovery, row.recovery) << row.journal << " '" << s << "'";
        EXPECT_EQ(!plan.problem, row.recovery != Recovery::cannot_tell) << plan.problem.text;
    }
    EXPECT_EQ(plan_recovery({"/f", "db", "old", MOVING_JOURNAL}, 2, manifest, {}).problem.text,
              "two journals stand beside the database");
}

}  // namespace
