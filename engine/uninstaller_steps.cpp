// The destructive operations and the survey they rely on.

#include "database_files.h"
#include "fs.h"
#include "permission_hint.h"
#include "report.h"
#include "uninstaller.h"

namespace brinvast {

// The permission lines, and then what helps on this platform, where sudo may not.
void BrinvastUninstaller::report_refusal(const std::string& target, const std::system_error& error,
                                         bool in_bundle) {
    say("❌ Permission denied removing " + target);
    say("   Try running with sudo or check file permissions");
    const auto* refused = dynamic_cast<const fs_error*>(&error);
    const std::string hint = permission_hint(refusal_of(
        refused ? refused->path() : target, error.code().value(), in_bundle, run_from_window));
    if (!hint.empty()) say(hint);
}

bool BrinvastUninstaller::remove_application() {
    if (!check_application_exists()) {
        say("📱 No application to remove");
        return true;
    }
    if (dry_run) {
        _log_action("DRY RUN: Would remove application: " + app_path);
        return true;
    }
    if (!clear_of_running_brinvast(false)) return false;
    // A lock found only at Contents would stop the removal once everything in it was gone.
    if (const std::optional<LockedEntry> locked = locked_entry(app_path)) {
        report_refusal(app_path, fs_error(EPERM, locked->path), true);
        return false;
    }
    RollbackFunc rollback_app_removal = [this] {
        say("⚠️  Application removal rollback not possible - app was deleted");
    };
    try {
        if (!remove_tree(app_path)) {  // gone since the check: nothing to remove, nor to undo
            say("📱 No application to remove");
            return true;
        }
        _log_action("Removed application: " + app_path, true, std::move(rollback_app_removal));
        return true;
    } catch (const std::exception& error) {
        if (is_permission_error(error)) {
            const auto& refusal = dynamic_cast<const std::system_error&>(error);
            // Only EACCES is a matter of rights an administrator has; macOS's EPERM is not.
            needs_administrator = refusal.code() == std::errc::permission_denied;
            report_refusal(app_path, refusal, true);
        } else {
            say(std::string("❌ Failed to remove application: ") + error.what());
        }
        return false;
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
            for (const std::string& suffix : sidecars_of(db_path)) {
                _log_action("DRY RUN: Would move sidecar " + db_path + suffix + " to " +
                            backup_db_path + suffix);
            }
            return true;
        }
        if (!clear_of_running_brinvast(false)) return false;
        const ActingAsHomeOwner as_owner(home_owner);
        // One file moves in one rename, which nothing can split.
        if (!sidecars_of(db_path).empty() && fold_sidecars(db_path)) {
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
        for (const std::string& path : moved->replaced)
            say("🗑️  Removed existing backup: " + path);
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
    for (const auto& [from, to] : restored.set_aside)
        say("🔄 Set aside what stood in the way: " + from + " → " + to);
    if (restored.database_back) say("🔄 Rolled back database rename");
    for (const std::string& suffix : restored.sidecars)
        say("🔄 Moved sidecar back: " + backup_db_path + suffix + " → " + db_path + suffix);
    if (restored.older_backup_back) say("🔄 Put back the older backup: " + backup_db_path);
}

DirectoryInfo BrinvastUninstaller::survey_directory(const std::string& path) {
    if (!path_exists(path)) {
        say("📁 Directory not found: " + path);
        return {};
    }
    try {
        // Everything is read and formatted before the first line, so that a failure prints
        // only the error line.
        const TreeTotals totals = survey_tree(path);
        const std::string modified = local_time_text(file_status(path).modified);
        const double total_size_mb = static_cast<double>(totals.total_bytes) / bytes_per_mb;
        say("📁 Found directory: " + path);
        say("   Files: " + std::to_string(totals.file_count) + ", Dirs: " +
            std::to_string(totals.dir_count) + ", Size: " + format_mb(total_size_mb) + " MB");
        return {true,
                DirectoryInfo::Measurement{totals.file_count, totals.dir_count, total_size_mb,
                                           modified},
                std::nullopt};
    } catch (const std::exception& error) {
        say("⚠️  Error analyzing directory " + path + ": " + error.what());
        return {true, std::nullopt, error.what()};
    }
}

DirectoryInfoMap BrinvastUninstaller::check_brinvast_directories_exist() {
    const ActingAsHomeOwner as_owner(home_owner);
    DirectoryInfoMap directory_info;
    for (const std::string& path : brinvast_directories) {
        directory_info.emplace_back(path, survey_directory(path));
    }
    return directory_info;
}

bool BrinvastUninstaller::remove_all_directories() {
    const DirectoryInfoMap directory_info = check_brinvast_directories_exist();
    std::vector<std::string> existing_dirs;
    for (const auto& [path, info] : directory_info) {
        if (info.exists) existing_dirs.push_back(path);
    }
    if (existing_dirs.empty()) {
        say("🗂️  No Brinvast directories to remove");
        return true;
    }

    say("\n🗂️  Found " + std::to_string(existing_dirs.size()) +
        " Brinvast directories to remove:");
    std::uint64_t total_files = 0;
    double total_size = 0.0;
    for (const auto& [path, info] : directory_info) {
        if (!info.exists) continue;
        if (!info.measured) {
            say("   📁 " + path);
            continue;
        }
        total_files += info.measured->file_count;
        total_size += info.measured->total_size_mb;
        say("   📁 " + path + " (" + std::to_string(info.measured->file_count) + " files, " +
            format_mb(info.measured->total_size_mb) + " MB)");
    }
    if (total_files > 0) {
        say("\n📊 Total: " + std::to_string(total_files) + " files, " + format_mb(total_size) +
            " MB");
    }

    if (dry_run) {
        for (const std::string& path : existing_dirs) {
            _log_action("DRY RUN: Would remove directory: " + path);
        }
        return true;
    }
    if (!clear_of_running_brinvast(false)) return false;
    try {
        return remove_existing_directories(existing_dirs);
    } catch (const std::exception& error) {
        say(std::string("❌ Unexpected error during directory removal: ") + error.what());
        return false;
    }
}

// Deletes each directory in turn; one failure never stops the others.
bool BrinvastUninstaller::remove_existing_directories(
    const std::vector<std::string>& existing_dirs) {
    const ActingAsHomeOwner as_owner(home_owner);
    bool success = true;
    std::vector<std::string> removed_dirs;
    for (const std::string& path : existing_dirs) {
        try {
            // One that vanishes between the check and its removal is as gone as one that was.
            if (path_exists(path) && remove_tree(path)) {
                removed_dirs.push_back(path);
                _log_action("Removed directory: " + path);
            } else {
                say("📁 Directory already gone: " + path);
            }
        } catch (const std::exception& error) {
            success = false;
            if (is_permission_error(error)) {
                report_refusal(path, dynamic_cast<const std::system_error&>(error), false);
            } else {
                say("❌ Failed to remove directory " + path + ": " + error.what());
            }
        }
    }
    if (success) {
        say("\n✅ Successfully removed " + std::to_string(removed_dirs.size()) + " directories");
    } else {
        say("\n⚠️  Partial success: removed " + std::to_string(removed_dirs.size()) + " of " +
            std::to_string(existing_dirs.size()) + " directories");
    }
    return success;
}

}  // namespace brinvast
