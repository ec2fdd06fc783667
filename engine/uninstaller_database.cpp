// SPDX-License-Identifier: MIT
// The database's part of a run: its backup in step 2, the undo of that backup, the sidecars left
// without their database, and the moves that a kill or a power loss cut short.

#include "uninstaller.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "database_files.h"
#include "fs.h"

namespace brinvast {

namespace {

// The size of the file at `path`, 0 when none can be read there.
std::uint64_t size_of(const std::string& path) {
    try {
        return file_status(path).size;
    } catch (const std::system_error&) {
        return 0;
    }
}

struct RecoveryText {
    Recovery recovery;
    const char* done;   // what a real run says it did, before the path
    const char* would;  // what a dry run says a real run would do
    bool at_backup;     // the path is the backup's, not the database's
};

constexpr std::array<RecoveryText, 4> RECOVERY_TEXTS{{
    {Recovery::cleared_unused_journal,
     "🔄 Cleared an interrupted database backup that had not moved anything yet: ",
     "🔄 DRY RUN: A real run would first clear an interrupted database backup that had not moved "
     "anything yet: ",
     false},
    {Recovery::restored_older_backup,
     "🔄 Put back the older backup that an interrupted run had set aside: ",
     "🔄 DRY RUN: A real run would first put back the older backup that an interrupted run had "
     "set aside: ",
     true},
    {Recovery::undid_backup, "🔄 Undid an interrupted database backup: the database is back at ",
     "🔄 DRY RUN: A real run would first undo an interrupted database backup: the database would "
     "be back at ",
     false},
    {Recovery::finished_backup, "🔄 Finished an interrupted database backup: the database is at ",
     "🔄 DRY RUN: A real run would first finish an interrupted database backup: the database is "
     "at ",
     true},
}};

}  // namespace

// The line for a cut-short move that was, or would be, put right; or, where names and entries
// disagree, what stands where, so that the user knows where the data is.
void BrinvastUninstaller::report_cut_short_move(const CutShortMove& move) {
    if (move.recovery != Recovery::cannot_tell) {
        const auto text = std::ranges::find(RECOVERY_TEXTS, move.recovery, &RecoveryText::recovery);
        say((dry_run ? text->would : text->done) + (text->at_backup ? backup_db_path : db_path));
        return;
    }
    say((dry_run ? "⚠️  A real run cannot put right an interrupted database backup: "
                 : "❌ Cannot put right an interrupted database backup: ") +
        move.problem.text);
    for (const std::string& found : move.found)
        say("   Found " + found);
    say("   Nothing was moved or deleted. Move the other files away from these names and run the "
        "uninstaller again, which then puts the rest back; or keep everything as it stands and "
        "move " +
        move.journal + " out of this folder");
}

// A move of the database that a kill, a failed fsync or a power loss cut short is put right
// before anything is looked at, so that the state report sees whole sets; a dry run only says
// what a real run would do. Nothing moves under a running Brinvast, which may have the files
// open, and nothing moves where names and entries disagree: then the run refuses.
bool BrinvastUninstaller::put_right_cut_short_move() {
    CutShortMove found;
    try {
        const ActingAsHomeOwner as_owner(home_owner);
        found = inspect_database_move(db_path, backup_db_path);
    } catch (const std::system_error&) {
        return true;  // nothing moves in a folder that cannot be examined: the report says so
    }
    if (found.recovery == Recovery::none) return true;
    if (dry_run) {
        report_cut_short_move(found);
        if (found.recovery == Recovery::cannot_tell) predict(Outcome::failed);
        move_pending = true;
        return true;
    }
    if (found.recovery == Recovery::cannot_tell) {
        report_cut_short_move(found);
        return false;
    }
    if (!clear_of_running_brinvast(false)) return false;
    try {
        const ActingAsHomeOwner as_owner(home_owner);
        found = recover_database_move(db_path, backup_db_path);
    } catch (const std::system_error& error) {
        found.problem = {error.what(), error.code()};
        try {  // what stands where now, after the step that failed
            const ActingAsHomeOwner as_owner(home_owner);
            found.found = inspect_database_move(db_path, backup_db_path).found;
        } catch (const std::system_error&) {
            found.found.clear();
        }
        found.recovery = Recovery::cannot_tell;
    }
    report_cut_short_move(found);
    return found.recovery != Recovery::cannot_tell;
}

// The database's shape is settled before step 1, so that no run deletes the bundle and then
// refuses the database; a real run also makes sure that its journal finds room. A dry run warns
// of what a real run would refuse.
bool BrinvastUninstaller::database_can_move() {
    try {
        const ActingAsHomeOwner as_owner(home_owner);
        check_database_shape(db_path, backup_db_path, !dry_run);
        return true;
    } catch (const std::system_error& error) {
        say((dry_run ? "⚠️  A real run cannot back up the database: "
                     : "❌ Failed to backup database: ") +
            std::string(error.what()));
        predict(Outcome::failed);
        return dry_run;
    }
}

bool BrinvastUninstaller::backup_database() {
    if (!check_database_exists()) {
        say("💾 No database to backup");
        return set_aside_lone_sidecars();
    }
    try {
        if (dry_run) {
            const ActingAsHomeOwner as_owner(home_owner);
            _log_action("DRY RUN: Would rename " + db_path + " to " + backup_db_path);
            const Sidecars sidecars = sidecars_of(db_path);
            if (sidecars.problem) {
                say("❌ Failed to backup database: " + sidecars.problem.text);
                return false;
            }
            for (const std::string& suffix : sidecars.suffixes) {
                _log_action("DRY RUN: Would move sidecar " + db_path + suffix + " to " +
                            backup_db_path + suffix);
            }
            if (const std::uint64_t older = size_of(backup_db_path))
                note_removed(backup_db_path, "older backup", older);
            note_kept(backup_db_path, "your data: the database, under its backup name");
            return true;
        }
        if (!clear_of_running_brinvast(false)) return false;
        const ActingAsHomeOwner as_owner(home_owner);
        const std::uint64_t older = size_of(backup_db_path);
        // One file moves in one rename, which nothing can split.
        const Sidecars sidecars = sidecars_of(db_path);
        if (sidecars.problem) {
            say("❌ Failed to backup database: " + sidecars.problem.text);
            return false;
        }
        if (!sidecars.suffixes.empty() && fold_sidecars(db_path)) {
            say("💾 Folded the sidecars into the database, as Brinvast does when it quits: " +
                db_path);
        }
        // Whatever fails, the database and its sidecars stay together under one name, and the
        // older backup stays until the run has succeeded.
        const std::optional<DatabaseMove> moved = move_database(db_path, backup_db_path);
        if (!moved) {  // gone since the check, as gone as one that was never there
            say("💾 No database to backup");
            return true;
        }
        if (moved->link_to_backup) {
            say("💾 The database was a link to its backup, where it stays: only the link is gone");
        }
        for (const std::string& path : moved->replaced) {
            say("🗑️  Removed existing backup: " + path);
            note_removed(path, "older backup", path == backup_db_path ? older : 0);
        }
        note_kept(backup_db_path, "your data: the database, under its backup name");
        _log_action("Renamed database: " + db_path + " → " + backup_db_path, true,
                    [this, undo = *moved] { rollback_database(undo); });
        for (const std::string& suffix : moved->sidecars)
            _log_action("Moved sidecar: " + db_path + suffix + " → " + backup_db_path + suffix);
        return true;
    } catch (const std::exception& error) {
        say(std::string("❌ Failed to backup database: ") + error.what());
        return false;
    }
}

// Sidecars at the live names without their database would pair with the next installation's;
// their bytes are kept under names that pair with nothing.
bool BrinvastUninstaller::set_aside_lone_sidecars() {
    try {
        const ActingAsHomeOwner as_owner(home_owner);
        for (const auto& [from, to] : brinvast::set_aside_lone_sidecars(db_path, dry_run)) {
            _log_action(dry_run ? "DRY RUN: Would set aside sidecar without its database: " + from +
                                      " to " + to
                                : "Set aside sidecar without its database: " + from + " → " + to);
        }
        return true;
    } catch (const std::system_error& error) {
        say(std::string("❌ Failed to backup database: ") + error.what());
        return false;
    }
}

// Nothing is deleted: what stands in the way is set aside, and the older backup comes back.
void BrinvastUninstaller::rollback_database(const DatabaseMove& moved) {
    const ActingAsHomeOwner as_owner(home_owner);
    if (moved.link_to_backup) {
        restore_database_link(db_path, moved.link_target);
        say("🔄 Rolled back database rename");
        return;
    }
    const DatabaseRestore restored = move_database_back(db_path, backup_db_path);
    // The summary tells what the run left: the database is back, and so is the older backup.
    std::erase_if(run_summary.kept,
                  [this](const auto& kept) { return kept.path == backup_db_path; });
    std::erase_if(run_summary.removed,
                  [](const auto& gone) { return gone.what == "older backup"; });
    for (const auto& [from, to] : restored.set_aside)
        say("🔄 Set aside what stood in the way: " + from + " → " + to);
    if (restored.database_back) say("🔄 Rolled back database rename");
    for (const std::string& suffix : restored.sidecars)
        say("🔄 Moved sidecar back: " + backup_db_path + suffix + " → " + db_path + suffix);
    if (restored.older_backup_back) say("🔄 Put back the older backup: " + backup_db_path);
}

// The run's last act: the older backup that the database replaced goes only now that the run has
// succeeded, tried twice against a passing I/O error. Should it still stay, the success stands
// only where the journal already says "discard": the next run deletes the older backup once it
// has proved again that the database stands whole under the backup names, whatever a reinstalled
// Brinvast put at the live names meanwhile. A journal that still says "undo" would have the next
// run move the database back over a success, so this run fails and rolls back instead.
bool BrinvastUninstaller::discard_replaced_backup() {
    std::optional<ActingAsHomeOwner> as_owner;
    try {
        as_owner.emplace(home_owner);
    } catch (const std::system_error& error) {
        say(std::string("❌ ") + error.what());
        return false;
    }
    std::string failure;
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            discard_older_backup(db_path, backup_db_path);
            return true;
        } catch (const std::system_error& error) {
            failure = error.what();
        }
    }
    Recovery next_run = Recovery::cannot_tell;
    try {
        next_run = inspect_database_move(db_path, backup_db_path).recovery;
    } catch (const std::system_error&) {
        // a folder that cannot be examined proves nothing
    }
    if (next_run == Recovery::none) return true;
    if (next_run == Recovery::finished_backup) {
        say("⚠️  The older backup stays set aside for now: " + failure);
        return true;
    }
    say("❌ Failed to finish the database backup: " + failure);
    return false;
}

}  // namespace brinvast
