// SPDX-License-Identifier: MIT
// The steps of a run and what they look at first: the presence checks, the running check, the
// application's removal, the survey and removal of the directories, and the verification.

#include "uninstaller.h"

#include <sys/stat.h>

#include <cstring>

#include "database_files.h"
#include "fs.h"
#include "permission_hint.h"
#include "processes.h"
#include "report.h"
#include "user_account.h"

namespace brinvast {

namespace {

// What the survey measured of the directory `path`, if it could.
const DirectoryInfo::Measurement* measured_in(const DirectoryInfoMap& directory_info,
                                              const std::string& path) {
    for (const auto& [where, info] : directory_info) {
        if (where == path && info.measured) return &*info.measured;
    }
    return nullptr;
}

// The bytes that the survey measured in the directory `path`.
std::uint64_t bytes_in(const DirectoryInfoMap& directory_info, const std::string& path) {
    const DirectoryInfo::Measurement* measured = measured_in(directory_info, path);
    return measured ? measured->total_bytes : 0;
}

// The line for an entry that may be there but cannot be examined.
std::string cannot_examine(const char* what, const std::string& path, std::error_code error) {
    return what + path + ": " + std::strerror(error.value());
}

}  // namespace

bool BrinvastUninstaller::check_application_exists() {
    const PathCheck check = check_path(app_path);
    if (check.error) {
        say(cannot_examine("📱 Cannot examine Brinvast.app at ", app_path, check.error));
        note_unexamined(app_path, std::strerror(check.error.value()));
        predict(Outcome::failed);
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
    const std::string size_mb = format_mb(static_cast<double>(status.size) / BYTES_PER_MB);
    const std::string mod_time = local_time_text(status.modified);
    say(heading + path);
    say("   Size: " + size_mb + " MB, Modified: " + mod_time);
}

bool BrinvastUninstaller::check_database_exists() {
    const ActingAsHomeOwner as_owner(home_owner);
    const PathCheck check = check_path(db_path);
    if (check.error) {
        say(cannot_examine("💾 Cannot examine database at ", db_path, check.error));
        note_unexamined(db_path, std::strerror(check.error.value()));
        predict(Outcome::failed);
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
    if (check.error) {
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
    const auto [running, error] = processes_running_from(app_path);
    if (error) {
        say(mark +
            std::string("Cannot tell whether Brinvast is running: Cannot list the running "
                        "processes: ") +
            error.message());
        predict(Outcome::failed);
        return warn_only;
    }
    if (running.empty()) return true;
    for (const platform::Process& process : running) {
        say(mark + std::string("Brinvast is running (pid ") + std::to_string(process.pid) +
            ", user " + user_name(process.user) + "): " + process.executable);
    }
    if (warn_only) {
        say("   A real run refuses until Brinvast has quit");
        predict(Outcome::brinvast_running);
        return true;
    }
    say("   Quit Brinvast, then run the uninstaller again");
    result = Outcome::brinvast_running;
    return false;
}

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

// A dry run's word of the locked entry that would stop a real run's removal of `path`.
void BrinvastUninstaller::warn_locked(const std::string& path, const LockedEntry& locked) {
    say("⚠️  A real run cannot remove " + path + ": " + locked.path + " is locked (" +
        locked.flag + ")");
    predict(Outcome::failed);
}

bool BrinvastUninstaller::remove_application() {
    if (!check_application_exists()) {
        say("📱 No application to remove");
        return true;
    }
    if (dry_run) {
        struct stat status {};
        if (::lstat(app_path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
            say("⚠️  A real run cannot remove " + app_path + ": it is a symbolic link");
            predict(Outcome::failed);
        } else if (const std::optional<LockedEntry> locked = locked_entry(app_path)) {
            warn_locked(app_path, *locked);
        }
        unregister_application();
        _log_action("DRY RUN: Would remove application: " + app_path);
        note_removed(app_path, "application", bytes_of(app_path));
        return true;
    }
    if (!clear_of_running_brinvast(false)) return false;
    // A lock found only at Contents would stop the removal once everything in it was gone.
    if (const std::optional<LockedEntry> locked = locked_entry(app_path)) {
        report_refusal(app_path, fs_error(EPERM, locked->path), true);
        return false;
    }
    unregister_application();
    const std::uint64_t bytes = bytes_of(app_path);
    RollbackFunc rollback_app_removal = [this] {
        say("⚠️  Application removal rollback not possible - app was deleted");
    };
    try {
        if (!remove_tree(app_path)) {  // gone since the check: nothing to remove, nor to undo
            say("📱 No application to remove");
            return true;
        }
        _log_action("Removed application: " + app_path, true, std::move(rollback_app_removal));
        note_removed(app_path, "application", bytes);
        app.removed_bundle = true;
        forget_removed_application();
        return true;
    } catch (const std::system_error& error) {
        if (!is_permission_error(error)) {
            say(std::string("❌ Failed to remove application: ") + error.what());
            return false;
        }
        // Only EACCES is a matter of rights an administrator has; macOS's EPERM is not.
        if (error.code() == std::errc::permission_denied) result = Outcome::needs_administrator;
        report_refusal(app_path, error, true);
        return false;
    } catch (const std::exception& error) {
        say(std::string("❌ Failed to remove application: ") + error.what());
        return false;
    }
}

DirectoryInfo BrinvastUninstaller::survey_directory(const std::string& path) {
    if (!path_exists(path)) {
        say("📁 Directory not found: " + path);
        return {};
    }
    try {
        // Everything is read and formatted before the first line, so that a failure prints
        // only the error line. A dry run looks for what would stop the removal in the same walk.
        const TreeTotals totals = survey_tree(path, dry_run);
        const std::string modified = local_time_text(file_status(path).modified);
        const double total_size_mb = static_cast<double>(totals.total_bytes) / BYTES_PER_MB;
        say("📁 Found directory: " + path);
        say("   Files: " + std::to_string(totals.file_count) + ", Dirs: " +
            std::to_string(totals.dir_count) + ", Size: " + format_mb(total_size_mb) + " MB");
        report_survey_gaps(path, totals);
        return {true,
                DirectoryInfo::Measurement{totals.file_count, totals.dir_count, total_size_mb,
                                           modified, totals.total_bytes, totals.locked},
                std::nullopt};
    } catch (const std::exception& error) {
        say("⚠️  Error analyzing directory " + path + ": " + error.what());
        note_unexamined(path, error.what());
        return {true, std::nullopt, error.what()};
    }
}

// What the counts of the directory at `path` do not tell: that it is in iCloud Drive, where its
// files may take no room here, and which of its folders could not be looked into.
void BrinvastUninstaller::report_survey_gaps(const std::string& path, const TreeTotals& totals) {
    if (totals.dataless_count > 0 || kept_in_icloud(path, home)) {
        say("   ☁️  In iCloud Drive: removing it deletes it from iCloud and from every Mac "
            "signed in to this account");
    }
    if (totals.dataless_count > 0) {
        say("   ☁️  " + std::to_string(totals.dataless_count) +
            " of its items are only in iCloud: they count in the size, not on this disk");
    }
    report_unlisted(totals.unlisted, totals.unlisted_count, "   ");
}

// The folders of a surveyed tree that could not be listed, the first of them by name.
void BrinvastUninstaller::report_unlisted(const std::vector<std::string>& folders,
                                          std::uint64_t count, const std::string& indent) {
    for (const std::string& folder : folders) {
        say(indent + "⚠️  Could not list, not counted: " + folder);
        note_unexamined(folder, "it could not be listed");
    }
    // A complete removal cannot empty what it cannot list.
    if (clean_all && !folders.empty()) predict(Outcome::failed);
    if (count > folders.size()) {
        say(indent + "⚠️  ... and " + std::to_string(count - folders.size()) +
            " more folders it could not list");
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
    report_directories_to_remove(directory_info, existing_dirs.size());
    if (dry_run) {
        for (const std::string& path : existing_dirs) {
            const DirectoryInfo::Measurement* measured = measured_in(directory_info, path);
            if (measured && measured->locked) warn_locked(path, *measured->locked);
            _log_action("DRY RUN: Would remove directory: " + path);
            note_removed(path, "directory", bytes_in(directory_info, path));
        }
        return true;
    }
    if (!clear_of_running_brinvast(false)) return false;
    try {
        return remove_existing_directories(directory_info, existing_dirs);
    } catch (const std::exception& error) {
        say(std::string("❌ Unexpected error during directory removal: ") + error.what());
        return false;
    }
}

// What is about to go, directory by directory, and in all, as the survey measured it.
void BrinvastUninstaller::report_directories_to_remove(const DirectoryInfoMap& directory_info,
                                                       std::size_t existing) {
    say("\n🗂️  Found " + std::to_string(existing) + " Brinvast directories to remove:");
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
}

// Deletes each directory in turn; one failure never stops the others.
bool BrinvastUninstaller::remove_existing_directories(
    const DirectoryInfoMap& directory_info, const std::vector<std::string>& existing_dirs) {
    const ActingAsHomeOwner as_owner(home_owner);
    bool success = true;
    std::vector<std::string> removed_dirs;
    for (const std::string& path : existing_dirs) {
        try {
            // One that vanishes between the check and its removal is as gone as one that was.
            if (path_exists(path) && remove_tree(path)) {
                removed_dirs.push_back(path);
                _log_action("Removed directory: " + path);
                note_removed(path, "directory", bytes_in(directory_info, path));
            } else {
                say("📁 Directory already gone: " + path);
            }
        } catch (const std::system_error& error) {
            success = false;
            if (is_permission_error(error)) {
                report_refusal(path, error, false);
            } else {
                say("❌ Failed to remove directory " + path + ": " + error.what());
            }
        } catch (const std::exception& error) {
            success = false;
            say("❌ Failed to remove directory " + path + ": " + error.what());
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
    const bool rest_clean = clean_all ? verify_directories_removed() : verify_database_moved();
    return verify_traces_removed() && clean && rest_clean;
}

bool BrinvastUninstaller::verify_directories_removed() {
    std::vector<std::string> remaining_dirs;
    for (const std::string& directory : brinvast_directories) {
        if (!path_exists(directory)) continue;
        remaining_dirs.push_back(directory);
        say("❌ Directory still exists: " + directory);
    }
    if (!remaining_dirs.empty()) return false;
    say("✅ All Brinvast directories successfully removed");
    return true;
}

// A missing backup is only a warning: the live names being free is what a fresh installation
// needs. Where the database can't be examined, neither can its sidecars: one line says it.
bool BrinvastUninstaller::verify_database_moved() {
    const Sidecars sidecars = path_exists(db_path) ? Sidecars{{""}, {}} : sidecars_of(db_path);
    for (const std::string& suffix : sidecars.suffixes)
        say("❌ Database still exists: " + db_path + suffix);
    if (sidecars.problem)
        say("❌ Cannot tell whether the database is still there: " + sidecars.problem.text);
    const bool moved = sidecars.suffixes.empty() && !sidecars.problem;
    if (moved) say("✅ Database successfully backed up");
    if (path_exists(backup_db_path)) {
        say("✅ Backup database created: " + backup_db_path);
    } else {
        say("⚠️  Backup database not found: " + backup_db_path);
    }
    return moved;
}

// The bytes in the tree at `path`, as far as they can be counted; 0 when nothing can be.
std::uint64_t BrinvastUninstaller::bytes_of(const std::string& path) const {
    try {
        return survey_tree(path).total_bytes;
    } catch (const std::exception&) {
        return 0;
    }
}

// In standard mode, what stays as the user's data: the product folders and what macOS keeps
// under Brinvast's identities, and the database under its backup name.
void BrinvastUninstaller::note_what_standard_mode_keeps() {
    const ActingAsHomeOwner as_owner(home_owner);
    for (const std::string& directory : brinvast_directories) {
        if (path_exists(directory)) note_kept(directory, "your data: complete removal removes it");
    }
    for (const AppTrace& trace : app.home.traces)
        note_kept(trace.path, "kept with your data: complete removal removes it");
}

}  // namespace brinvast
