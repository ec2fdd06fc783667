#include "uninstaller.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iostream>
#include <ranges>
#include <utility>

#include "database_files.h"
#include "fs.h"
#include "interrupt.h"
#include "processes.h"
#include "report.h"
#include "run_lock.h"
#include "user_account.h"

namespace brinvast {

BrinvastUninstaller::BrinvastUninstaller(bool dry_run, bool force, bool clean_all)
    : BrinvastUninstaller(dry_run, force, clean_all, program_locations(), std::cout) {}

BrinvastUninstaller::BrinvastUninstaller(bool dry_run, bool force, bool clean_all,
                                         const Locations& where, std::ostream& out,
                                         std::optional<HomeOwner> home_owner)
    : dry_run(dry_run),
      force(force),
      clean_all(clean_all),
      app_path(where.BRINVAST_APP_PATH),
      db_path(where.BRINVAST_DATABASE_PATH),
      backup_db_path(where.BRINVAST_BACKUP_DATABASE_PATH),
      brinvast_directories{where.BRINVAST_APP_SUPPORT, where.BRINVAST_DOCUMENTS,
                           where.BRINVAST_LOGS_FALLBACK},
      home_owner(home_owner),
      home(home_directory(where)),
      out(out) {
    say(std::string("🚀 Brinvast Uninstaller initialized (dry_run=") + bool_text(dry_run) +
        ", force=" + bool_text(force) + ", clean_all=" + bool_text(clean_all) + ")");
}

// Each line is flushed so that progress shows live, also through a pipe.
void BrinvastUninstaller::say(std::string_view line) {
    out << line << '\n' << std::flush;
}

void BrinvastUninstaller::_log_action(const std::string& action, bool success,
                                      RollbackFunc rollback_func) {
    say((success ? "✅ " : "❌ ") + action);
    if (!success) return;
    actions_performed.push_back(action);
    if (rollback_func) rollback_actions.push_back(std::move(rollback_func));
}

void BrinvastUninstaller::rollback_changes() {
    if (rollback_actions.empty()) {
        say("🔄 No rollback actions needed");
        return;
    }
    say("🔄 Attempting to rollback changes...");
    int step = 0;
    for (const RollbackFunc& undo : std::views::reverse(rollback_actions)) {
        const std::string number = std::to_string(++step);
        try {
            undo();
            say("✅ Rollback step " + number + " completed");
        } catch (const std::exception& error) {
            say("❌ Rollback step " + number + " failed: " + error.what());
        }
    }
}

namespace {

// The line for an entry that may be there but cannot be examined.
std::string cannot_examine(const char* what, const std::string& path, int error) {
    return what + path + ": " + std::strerror(error);
}

}  // namespace

bool BrinvastUninstaller::check_application_exists() {
    const PathCheck check = check_path(app_path);
    if (check.error != 0) {
        say(cannot_examine("📱 Cannot examine Brinvast.app at ", app_path, check.error));
    } else {
        say((check.present ? "📱 Found Brinvast.app at: " : "📱 Brinvast.app not found at: ") +
            app_path);
    }
    return check.present;
}

// The heading line and the size line of a database that is present. The metadata is read
// before anything is printed; if the file vanishes in between, the error goes to the caller.
void BrinvastUninstaller::report_database(const char* heading, const std::string& path) {
    const FileStatus status = file_status(path);
    const std::string size_mb = format_mb(static_cast<double>(status.size) / bytes_per_mb);
    const std::string mod_time = local_time_text(status.modified);
    say(heading + path);
    say("   Size: " + size_mb + " MB, Modified: " + mod_time);
}

bool BrinvastUninstaller::check_database_exists() {
    const ActingAsHomeOwner as_owner(home_owner);
    const PathCheck check = check_path(db_path);
    if (check.error != 0) {
        say(cannot_examine("💾 Cannot examine database at ", db_path, check.error));
    } else if (check.present) {
        try {
            report_database("💾 Found database at: ", db_path);
        } catch (const fs_error& error) {
            if (error.error_number() != ENOENT) throw;
            say("💾 Database not found at: " + db_path);  // gone since the test: as gone as absent
            return false;
        }
    } else {
        say("💾 Database not found at: " + db_path);
    }
    return check.present;
}

bool BrinvastUninstaller::check_backup_database_exists() {
    const ActingAsHomeOwner as_owner(home_owner);
    const PathCheck check = check_path(backup_db_path);
    if (check.error != 0) {
        say(cannot_examine("⚠️  Cannot examine backup database at ", backup_db_path,
                           check.error));
    } else if (check.present) {
        report_database("⚠️  Backup database already exists: ", backup_db_path);
    }
    return check.present;
}

// Whether the run may go on to change things. Brinvast running from the bundle may hold the
// database open, and unsaved work, so a real run refuses and leaves quitting it to the user;
// with `warn_only` (a dry run) it only warns. So does not knowing whether it runs. Whoever runs
// it: deleting the bundle under another user's session would crash that session's Brinvast.
bool BrinvastUninstaller::clear_of_running_brinvast(bool warn_only) {
    const char* const mark = warn_only ? "⚠️  " : "❌ ";
    std::vector<platform::Process> running;
    try {
        running = processes_running_from(app_path);
    } catch (const std::system_error& error) {
        say(mark + std::string("Cannot tell whether Brinvast is running: ") + error.what());
        return warn_only;
    }
    if (running.empty()) return true;
    for (const platform::Process& process : running) {
        say(mark + std::string("Brinvast is running (pid ") + std::to_string(process.pid) +
            ", user " + user_name(process.user) + "): " + process.executable);
    }
    if (warn_only) {
        say("   A real run refuses until Brinvast has quit");
        return true;
    }
    say("   Quit Brinvast, then run the uninstaller again");
    brinvast_running = true;
    return false;
}

bool BrinvastUninstaller::verify_clean_state() {
    say("\n🔍 Verifying clean state...");
    if (dry_run) {
        say("🔍 DRY RUN: Would verify clean state after operations");
        return true;
    }
    bool clean = true;
    if (path_exists(app_path)) {
        say("❌ Application still exists: " + app_path);
        clean = false;
    } else {
        say("✅ Application successfully removed");
    }
    const ActingAsHomeOwner as_owner(home_owner);

    if (clean_all) {
        std::vector<std::string> remaining_dirs;
        for (const std::string& directory : brinvast_directories) {
            if (!path_exists(directory)) continue;
            remaining_dirs.push_back(directory);
            say("❌ Directory still exists: " + directory);
        }
        if (!remaining_dirs.empty()) {
            clean = false;
        } else {
            say("✅ All Brinvast directories successfully removed");
        }
        return clean;
    }

    // Where the database can't be examined, neither can its sidecars: one line says it.
    const std::vector<std::string> remaining =
        path_exists(db_path) ? std::vector<std::string>{db_path} : live_sidecars_left();
    for (const std::string& path : remaining)
        say("❌ Database still exists: " + path);
    if (!remaining.empty()) {
        clean = false;
    } else {
        say("✅ Database successfully backed up");
    }
    if (path_exists(backup_db_path)) {
        say("✅ Backup database created: " + backup_db_path);
    } else {
        say("⚠️  Backup database not found: " + backup_db_path);
    }
    return clean;
}

bool BrinvastUninstaller::run() {
    // The lock the front end took goes with this run, however it ends.
    std::optional<RunLock> lock = std::exchange(run_lock, std::nullopt);
    say(std::string("\n") + rule);
    say("🚀 Starting Brinvast Uninstaller");
    say(rule);
    if (dry_run) say("🔍 Running in DRY RUN mode - no changes will be made");
    if (!home_owner) home_owner = owner_of_home(home);
    if (!lock_home(lock)) return report_outcome(false);
    if (!put_right_cut_short_move()) return report_outcome(false);

    say("\n📋 Current State:");
    const bool app_exists = check_application_exists();
    const bool db_exists = check_database_exists();
    (void)check_backup_database_exists();  // called for its report line only

    bool lone_sidecars = false;
    if (!clean_all && !db_exists) {
        const ActingAsHomeOwner as_owner(home_owner);
        lone_sidecars = !live_sidecars_left().empty();
    }
    bool nothing_to_do = !app_exists && !db_exists && !lone_sidecars;
    if (clean_all) {
        const DirectoryInfoMap directory_info = check_brinvast_directories_exist();
        const bool any_dir = std::ranges::any_of(
            directory_info, [](const auto& entry) { return entry.second.exists; });
        nothing_to_do = !app_exists && !any_dir;
    }
    if (nothing_to_do && !move_pending) {
        say("\n✅ System already clean - nothing to uninstall");
        return true;
    }

    // Until the report and the rollback are done: nothing may cut the rollback short.
    const InterruptScope interrupt_scope;
    bool success = false;
    try {
        success = run_steps(app_exists, db_exists || lone_sidecars);
    } catch (const UserInterrupt&) {
        say("\n⚠️  Uninstall interrupted by user");
    } catch (const std::exception& error) {
        say(std::string("\n❌ Unexpected error during uninstall: ") + error.what());
    }
    if (success && !dry_run && !clean_all) discard_replaced_backup();
    return report_outcome(success);
}

// Takes the home's lock for this run into `lock`, unless the front end took it already. A home
// whose file system cannot lock (a network home, say) is worked on without it. False when another
// run kept the home busy for too long.
bool BrinvastUninstaller::lock_home(std::optional<RunLock>& lock) {
    try {
        if (!lock) {
            lock = RunLock::take(home, home_owner, lock_patience, [this] {
                say("⚠️  Another uninstall is running for this home: waiting for it to finish");
            });
        }
    } catch (const HomeBusy& busy) {
        say(std::string("❌ ") + busy.what() + ": nothing was changed; try again once it is done");
        home_busy = true;
        return false;
    }
    if (const int error = lock->unsupported(); error != 0) {
        say("⚠️  Cannot lock the home for this run (" + std::string(std::strerror(error)) +
            "), going on without the lock: " + home);
    }
    return true;
}

namespace {

struct RecoveryText {
    Recovery recovery;
    const char* done;   // what a real run says it did, before the path
    const char* would;  // what a dry run says a real run would do
    bool at_backup;     // the path is the backup's, not the database's
};

constexpr std::array<RecoveryText, 4> recovery_texts{{
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
        const auto text = std::ranges::find(recovery_texts, move.recovery, &RecoveryText::recovery);
        say((dry_run ? text->would : text->done) + (text->at_backup ? backup_db_path : db_path));
        return;
    }
    say((dry_run ? "⚠️  A real run cannot put right an interrupted database backup: "
                 : "❌ Cannot put right an interrupted database backup: ") +
        move.problem);
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
        found.problem = error.what();
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
        return dry_run;
    }
}

// The run's last act: the older backup that the database replaced goes only now that the run has
// succeeded. Should it stay, the next run deletes it, once it has proved again that the database
// stands whole under the backup names.
void BrinvastUninstaller::discard_replaced_backup() {
    try {
        const ActingAsHomeOwner as_owner(home_owner);
        discard_older_backup(db_path, backup_db_path);
    } catch (const std::system_error& error) {
        say(std::string("⚠️  The older backup stays set aside for now: ") + error.what());
    }
}

// Sidecars at the live names without their database would pair with the next installation's.
std::vector<std::string> BrinvastUninstaller::live_sidecars_left() {
    std::vector<std::string> left;
    for (const char* suffix : sidecar_suffixes) {
        if (path_exists(db_path + suffix)) left.push_back(db_path + suffix);
    }
    return left;
}

// Steps 1 to 3, once Brinvast is known not to run; a step that fails ends them. True once the
// verification has passed.
bool BrinvastUninstaller::run_steps(bool app_exists, bool database_step) {
    if (!clear_of_running_brinvast(dry_run)) return false;
    if (!clean_all && database_step && !database_can_move()) return false;
    if (app_exists) {
        throw_if_interrupted();
        say("\n📱 Step 1: Removing Application");
        if (!remove_application()) return false;
    }
    throw_if_interrupted();
    if (clean_all) {
        say("\n🗂️  Step 2: Removing All Brinvast Directories");
        if (!remove_all_directories()) return false;
    } else if (database_step) {
        say("\n💾 Step 2: Backing Up Database");
        if (!backup_database()) return false;
    }
    throw_if_interrupted();
    say("\n🔍 Step 3: Verifying Clean State");
    const bool clean = verify_clean_state();
    throw_if_interrupted();
    return clean;
}

bool BrinvastUninstaller::report_outcome(bool success) {
    say(std::string("\n") + rule);
    if (!success) {
        say("❌ Uninstall failed!");
        say(rule);
        if (!dry_run) {
            say("⚠️  Attempting automatic rollback...");
            rollback_changes();
        }
        return false;
    }
    say("🎉 Uninstall completed successfully!");
    say(rule);
    say("\n📋 Actions completed:");
    for (const std::string& action : actions_performed)
        say("   ✅ " + action);
    say("\n🚀 System is ready for fresh Brinvast installation");
    return true;
}

}  // namespace brinvast
