#include "uninstaller.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <ranges>

#include "fs.h"
#include "interrupt.h"
#include "processes.h"
#include "report.h"

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
        report_database("💾 Found database at: ", db_path);
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
// database open, and unsaved work, so a real run refuses and leaves quitting it to the user; a
// dry run only warns. So does not knowing whether it runs.
bool BrinvastUninstaller::clear_of_running_brinvast() {
    const char* const mark = dry_run ? "⚠️  " : "❌ ";
    std::vector<platform::Process> running;
    try {
        running = processes_running_from(app_path);
    } catch (const std::system_error& error) {
        say(mark + std::string("Cannot tell whether Brinvast is running: ") + error.what());
        return dry_run;
    }
    if (running.empty()) return true;
    for (const platform::Process& process : running) {
        say(mark + std::string("Brinvast is running (pid ") + std::to_string(process.pid) +
            "): " + process.executable);
    }
    if (dry_run) {
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

    if (path_exists(db_path)) {
        say("❌ Database still exists: " + db_path);
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
    say(std::string("\n") + rule);
    say("🚀 Starting Brinvast Uninstaller");
    say(rule);
    if (dry_run) say("🔍 Running in DRY RUN mode - no changes will be made");

    say("\n📋 Current State:");
    const bool app_exists = check_application_exists();
    const bool db_exists = check_database_exists();
    (void)check_backup_database_exists();  // called for its report line only

    bool nothing_to_do = !app_exists && !db_exists;
    if (clean_all) {
        const DirectoryInfoMap directory_info = check_brinvast_directories_exist();
        const bool any_dir = std::ranges::any_of(
            directory_info, [](const auto& entry) { return entry.second.exists; });
        nothing_to_do = !app_exists && !any_dir;
    }
    if (nothing_to_do) {
        say("\n✅ System already clean - nothing to uninstall");
        return true;
    }

    bool success = false;
    {
        const InterruptScope interrupt_scope;
        try {
            success = run_steps(app_exists, db_exists);
        } catch (const UserInterrupt&) {
            say("\n⚠️  Uninstall interrupted by user");
        } catch (const std::exception& error) {
            say(std::string("\n❌ Unexpected error during uninstall: ") + error.what());
        }
    }
    return report_outcome(success);
}

// Steps 1 to 3, once Brinvast is known not to run; a step that fails ends them. True once the
// verification has passed.
bool BrinvastUninstaller::run_steps(bool app_exists, bool db_exists) {
    if (!clear_of_running_brinvast()) return false;
    if (app_exists) {
        throw_if_interrupted();
        say("\n📱 Step 1: Removing Application");
        if (!remove_application()) return false;
    }
    throw_if_interrupted();
    if (clean_all) {
        say("\n🗂️  Step 2: Removing All Brinvast Directories");
        if (!remove_all_directories()) return false;
    } else if (db_exists) {
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
