// SPDX-License-Identifier: MIT
#pragma once

// What putting right a database move calls for, worked out from what stands under each name
// alone: the journal's name and how far the move had got play no part. Nothing here touches the
// disk; the paths are only for messages.

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "database_set.h"
#include "errors.h"
#include "move_journal.h"

namespace brinvast::database_move {

// What stands under the names of both sets and in the journal.
struct Observed {
    SetIdentities live;
    SetIdentities backup;
    SetIdentities journal;               // the older backup's names inside the journal
    std::vector<std::string> strangers;  // any other names inside the journal
};

// Where the entries of a move stand, as the user knows them.
struct MovePlaces {
    std::string folder;   // the folder that holds both sets and the journal
    std::string live;     // the database's name in it
    std::string backup;   // the backup's name in it
    std::string journal;  // the journal's name in it

    [[nodiscard]] std::string live_path(std::size_t i) const {
        return folder + "/" + live + SET_SUFFIXES[i];
    }
    [[nodiscard]] std::string backup_path(std::size_t i) const {
        return folder + "/" + backup + SET_SUFFIXES[i];
    }
    [[nodiscard]] std::string in_journal(const std::string& name) const {
        return folder + "/" + journal + "/" + name;
    }
    [[nodiscard]] std::string older_in_journal(std::size_t i) const {
        return in_journal(backup + SET_SUFFIXES[i]);
    }
};

// What undoing a move does.
struct Undo {
    std::array<bool, SET_SIZE> live_back{};   // from the backup name to the live name
    std::array<bool, SET_SIZE> older_back{};  // from the journal to the backup name
    std::vector<std::size_t> in_the_way;      // not ours, at the live names the set goes back to
    Problem problem;                          // why nothing may be moved
};

[[nodiscard]] Undo plan_undo(const MovePlaces& places, const Manifest& manifest,
                             const Observed& seen);

// Why an undo that may not set aside what stands in its way cannot be done, or nothing.
[[nodiscard]] Problem undo_problem(const MovePlaces& places, const Undo& undo);

// Why the older backup may not be deleted yet, or nothing: the proof is the whole live set,
// entry by entry, standing under the backup names.
[[nodiscard]] Problem discard_problem(const MovePlaces& places, const Manifest& manifest,
                                      const Observed& seen);

// What stands where, and whose it is, for a report of what a cut-short move left.
[[nodiscard]] std::vector<std::string> found_lines(const MovePlaces& places,
                                                   const Manifest* manifest, const Observed& seen);

// What a cut-short move calls for: its recovery, and for cannot_tell the problem.
struct RecoveryPlan {
    Recovery recovery = Recovery::none;
    Problem problem;
    Undo undo;  // for undid_backup and restored_older_backup
};

// The plan for the journal `places.journal`, one of `journals` that stand, with its `manifest`
// when it holds a whole one.
[[nodiscard]] RecoveryPlan plan_recovery(const MovePlaces& places, std::size_t journals,
                                         const std::optional<Manifest>& manifest,
                                         const Observed& seen);

}  // namespace brinvast::database_move
