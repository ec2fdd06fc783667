// SPDX-License-Identifier: MIT
#include "move_plan.h"

#include <algorithm>
#include <utility>

namespace brinvast::database_move {

namespace {

bool same(const std::optional<EntryIdentity>& a, const std::optional<EntryIdentity>& b) {
    return a && b && *a == *b;
}

bool any(const std::array<bool, SET_SIZE>& flags) {
    return std::ranges::any_of(flags, [](bool flag) { return flag; });
}

std::string found_line(const std::string& path, const std::optional<EntryIdentity>& id,
                       const Manifest* manifest, std::size_t i) {
    const char* whose = "another file";
    if (manifest != nullptr && same(id, manifest->live[i])) whose = "the database";
    if (manifest != nullptr && same(id, manifest->older[i])) whose = "the older backup";
    return path + " (" + whose + ")";
}

}  // namespace

Undo plan_undo(const MovePlaces& places, const Manifest& manifest, const Observed& seen) {
    Undo undo;
    std::array<bool, SET_SIZE> live_stays{};
    bool stranger_at_backup = false;
    for (std::size_t i = 0; i < SET_SIZE; ++i) {
        live_stays[i] = same(seen.live[i], manifest.live[i]);
        const bool older_aside = same(seen.journal[i], manifest.older[i]);
        if (seen.journal[i] && !older_aside) {
            undo.problem = places.older_in_journal(i) + " is not the older backup's";
        }
        // A backup that is a second link of the database has the database's identity: where
        // the database still stands at its own name, the backup name holds the older backup.
        const bool backup_is_live = same(seen.backup[i], manifest.live[i]) && !live_stays[i];
        const bool backup_is_older = same(seen.backup[i], manifest.older[i]) && !older_aside;
        undo.live_back[i] = backup_is_live;
        stranger_at_backup |= seen.backup[i] && !backup_is_live && !backup_is_older;
        if (older_aside && seen.backup[i] && !backup_is_live) {
            undo.problem = places.backup_path(i) + " is taken";
        }
        undo.older_back[i] = older_aside;
        if (seen.live[i] && !live_stays[i]) undo.in_the_way.push_back(i);
    }
    if (stranger_at_backup && any(undo.older_back)) {
        undo.problem = "a file that is not the older backup's stands at the backup names";
    }
    if (!seen.strangers.empty()) {
        undo.problem = places.in_journal(seen.strangers.front()) + " is not the older backup's";
    }
    if (!any(live_stays) && !any(undo.live_back)) undo.in_the_way.clear();  // nothing to pair with
    return undo;
}

Problem undo_problem(const MovePlaces& places, const Undo& undo) {
    if (undo.problem || undo.in_the_way.empty()) return undo.problem;
    return places.live_path(undo.in_the_way.front()) +
           " is not the database's, and would pair with it";
}

Problem discard_problem(const MovePlaces& places, const Manifest& manifest, const Observed& seen) {
    for (std::size_t i = 0; i < SET_SIZE; ++i) {
        if (manifest.live[i] && !same(seen.backup[i], manifest.live[i])) {
            return places.backup_path(i) + " does not hold what the database left there";
        }
        if (seen.journal[i] && !same(seen.journal[i], manifest.older[i])) {
            return places.older_in_journal(i) + " is not the older backup's";
        }
    }
    if (!seen.strangers.empty()) {
        return places.in_journal(seen.strangers.front()) + " is not the older backup's";
    }
    return {};
}

std::vector<std::string> found_lines(const MovePlaces& places, const Manifest* manifest,
                                     const Observed& seen) {
    std::vector<std::string> found;
    for (std::size_t i = 0; i < SET_SIZE; ++i) {
        if (seen.live[i])
            found.push_back(found_line(places.live_path(i), seen.live[i], manifest, i));
        if (seen.backup[i])
            found.push_back(found_line(places.backup_path(i), seen.backup[i], manifest, i));
        if (seen.journal[i]) {
            found.push_back(found_line(places.older_in_journal(i), seen.journal[i], manifest, i));
        }
    }
    for (const std::string& name : seen.strangers)
        found.push_back(places.in_journal(name) + " (another file)");
    return found;
}

RecoveryPlan plan_recovery(const MovePlaces& places, std::size_t journals,
                           const std::optional<Manifest>& manifest, const Observed& seen) {
    RecoveryPlan plan;
    const auto cannot_tell = [&](Problem problem) {
        plan.recovery = Recovery::cannot_tell;
        plan.problem = std::move(problem);
    };
    const bool empty =
        seen.strangers.empty() &&
        std::ranges::none_of(seen.journal, [](const auto& id) { return id.has_value(); });
    if (journals > 1) {
        cannot_tell("two journals stand beside the database");
    } else if (places.journal == NEW_JOURNAL || !manifest) {
        // Nothing moves before the manifest is whole; a journal without one holds nothing of ours.
        if (empty) {
            plan.recovery = Recovery::cleared_unused_journal;
        } else {
            cannot_tell("the journal holds files but no whole record of them");
        }
    } else if (places.journal == DISCARD_JOURNAL) {
        if (Problem problem = discard_problem(places, *manifest, seen); !problem) {
            plan.recovery = Recovery::finished_backup;
        } else {
            cannot_tell(std::move(problem));
        }
    } else {
        plan.undo = plan_undo(places, *manifest, seen);
        if (Problem problem = undo_problem(places, plan.undo); problem) {
            cannot_tell(std::move(problem));
        } else if (any(plan.undo.live_back)) {
            plan.recovery = Recovery::undid_backup;
        } else if (any(plan.undo.older_back)) {
            plan.recovery = Recovery::restored_older_backup;
        } else {
            plan.recovery = Recovery::cleared_unused_journal;
        }
    }
    return plan;
}

}  // namespace brinvast::database_move
