// SPDX-License-Identifier: MIT
#include "uninstaller.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <ranges>
#include <utility>

#include "interrupt.h"
#include "platform.h"
#include "report.h"
#include "user_account.h"

namespace brinvast {

BrinvastUninstaller::BrinvastUninstaller(bool dry_run, bool force, bool clean_all)
    : BrinvastUninstaller(dry_run, force, clean_all, program_locations(), std::cout) {}

BrinvastUninstaller::BrinvastUninstaller(bool dry_run, bool force, bool clean_all,
                                         const Locations& where, std::ostream& out,
                                         std::optional<HomeOwner> home_owner)
    : BrinvastUninstaller(dry_run, force, clean_all, where, out,
                          RunOptions{.home_owner = std::move(home_owner)}) {}

BrinvastUninstaller::BrinvastUninstaller(bool dry_run, bool force, bool clean_all,
                                         const Locations& where, std::ostream& out,
                                         RunOptions options)
    : dry_run(dry_run),
      force(force),
      clean_all(clean_all),
      app_path(where.BRINVAST_APP_PATH),
      db_path(where.BRINVAST_DATABASE_PATH),
      backup_db_path(where.BRINVAST_BACKUP_DATABASE_PATH),
      brinvast_directories{where.BRINVAST_APP_SUPPORT, where.BRINVAST_DOCUMENTS,
                           where.BRINVAST_LOGS_FALLBACK},
      home(home_directory(where)),
      out(out),
      root_run(::getuid() == 0 && ::geteuid() == 0),
      tool_limits(options.tool_limits),
      home_owner(std::move(options.home_owner)),
      run_lock(std::move(options.lock)),
      lock_patience(options.lock_patience),
      run_from_window(options.from_window) {
    say(std::string("🚀 Brinvast Uninstaller initialized (dry_run=") + bool_text(dry_run) +
        ", force=" + bool_text(force) + ", clean_all=" + bool_text(clean_all) + ")");
}

// Each line is flushed so that progress shows live, also through a pipe. The report's own blank
// lines lead a line; after them, whatever a name from the disk brought in is escaped, so that no
// name can forge a line (macOS allows newlines in names).
void BrinvastUninstaller::say(std::string_view line) {
    const std::size_t text = std::min(line.find_first_not_of('\n'), line.size());
    out << line.substr(0, text) << shown_text(line.substr(text)) << '\n' << std::flush;
}

void BrinvastUninstaller::note_removed(const std::string& path, const std::string& what,
                                       std::uint64_t bytes) {
    run_summary.removed.push_back({path, what, bytes});
}

void BrinvastUninstaller::note_kept(const std::string& path, const std::string& why) {
    run_summary.kept.push_back({path, why});
}

void BrinvastUninstaller::note_unexamined(const std::string& path, const std::string& why) {
    run_summary.could_not_examine.push_back({path, why});
}

// "path: reason", as the survey words what it could not examine; no reason of its holds ": ".
void BrinvastUninstaller::note_unexamined(const std::string& path_and_reason) {
    const std::size_t colon = path_and_reason.rfind(": ");
    if (colon == std::string::npos) {
        note_unexamined(path_and_reason, {});
    } else {
        note_unexamined(path_and_reason.substr(0, colon), path_and_reason.substr(colon + 2));
    }
}

// What a dry run met that a real run would stop at; the most serious of it is the dry run's
// outcome: a running Brinvast before a failure.
void BrinvastUninstaller::predict(Outcome outcome) {
    if (!dry_run) return;
    if (!prediction || outcome == Outcome::brinvast_running) prediction = outcome;
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

bool BrinvastUninstaller::run() {
    // The lock the front end took goes with this run, however it ends.
    std::optional<RunLock> lock = std::exchange(run_lock, std::nullopt);
    tools_deadline = std::chrono::steady_clock::now() + tool_limits.per_run;
    announce_run();
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
        // Sidecars at the live names without their database would pair with the next
        // installation's.
        lone_sidecars = !sidecars_of(db_path).suffixes.empty();
    }
    bool nothing_to_do = !app_exists && !db_exists && !lone_sidecars;
    if (clean_all) {
        const DirectoryInfoMap directory_info = check_brinvast_directories_exist();
        const bool any_dir = std::ranges::any_of(
            directory_info, [](const auto& entry) { return entry.second.exists; });
        nothing_to_do = !app_exists && !any_dir;
    }
    survey_app_traces(app_exists);
    nothing_to_do = nothing_to_do && !app_work_left();
    if (!clean_all) note_what_standard_mode_keeps();
    if (nothing_to_do && !move_pending) {
        if (!settle_record(true)) return report_outcome(false);
        say("\n✅ System already clean - nothing to uninstall");
        result = Outcome::nothing_to_do;
        return true;
    }
    return run_steps_and_report(app_exists, db_exists || lone_sidecars, lock);
}

void BrinvastUninstaller::announce_run() {
    say(std::string("\n") + RULE);
    say("🚀 Starting Brinvast Uninstaller");
    say(RULE);
    if (dry_run) say("🔍 Running in DRY RUN mode - no changes will be made");
    if (const std::error_code refused = platform::materialize_dataless_listings()) {
        say("⚠️  Folders kept in iCloud may refuse to be listed (" +
            std::string(std::strerror(refused.value())) + ")");
    }
}

// The steps, the record, the older backup's discard, and the report with its rollback. An
// interrupt or an unexpected error ends the steps as a failure, which the rollback then follows.
// Once the steps have passed their last check the run is done: an interrupt that comes later
// stops nothing, and the run reports its success and ends as it reports.
bool BrinvastUninstaller::run_steps_and_report(bool app_exists, bool database_step,
                                               std::optional<RunLock>& lock) {
    // Until the report and the rollback are done: nothing may cut the rollback short.
    InterruptScope interrupt_scope;
    bool success = false;
    try {
        success = run_steps(app_exists, database_step);
    } catch (const UserInterrupt&) {
        say("\n⚠️  Uninstall interrupted by user");
    } catch (const std::exception& error) {
        say(std::string("\n❌ Unexpected error during uninstall: ") + error.what());
    }
    success = settle_record(success) && success;
    // The last act: once the older backup goes, the database's move cannot be undone.
    if (success && !dry_run && !clean_all) success = discard_replaced_backup();
    if (success) interrupt_scope.run_completed();
    const bool reported = report_outcome(success);
    lock.reset();  // within the scope: the run's last call must not end it either
    return reported;
}

// Takes the home's lock for this run into `lock`, unless the front end took it already. A home
// whose file system cannot lock (a network home, say) is worked on without it. False when another
// run kept the home busy for too long.
bool BrinvastUninstaller::lock_home(std::optional<RunLock>& lock) {
    if (!lock) {
        lock = RunLock::take(home, home_owner, lock_patience, [this] {
            say("⚠️  Another uninstall is running for this home: waiting for it to finish");
        });
    }
    if (!lock) {
        const auto seconds = std::chrono::ceil<std::chrono::seconds>(lock_patience).count();
        say("❌ Another uninstall kept this home busy for " + std::to_string(seconds) +
            (seconds == 1 ? " second" : " seconds") +
            ": nothing was changed; try again once it is done");
        result = Outcome::home_busy;
        return false;
    }
    if (const std::error_code error = lock->unsupported()) {
        say("⚠️  Cannot lock the home for this run (" +
            std::string(std::strerror(error.value())) + "), going on without the lock: " + home);
    }
    return true;
}

// Steps 1 to 3, once Brinvast is known not to run; a step that fails ends them. True once the
// verification has passed.
bool BrinvastUninstaller::run_steps(bool app_exists, bool database_step) {
    if (!can_tell_enough()) return false;
    stop_launch_jobs();
    if (!clear_of_running_brinvast(dry_run)) return false;
    if (!clean_all && database_step && !database_can_move()) return false;
    if (!record_app_identities()) return false;
    if (app_exists) {
        throw_if_interrupted();
        say("\n📱 Step 1: Removing Application");
        if (!remove_application()) return false;
    }
    if (dry_run || !app_exists) forget_removed_application();
    throw_if_interrupted();
    if (clean_all) {
        say("\n🗂️  Step 2: Removing All Brinvast Directories");
        if (!remove_all_directories() || !remove_app_traces()) return false;
    } else if (database_step) {
        say("\n💾 Step 2: Backing Up Database");
        if (!backup_database()) return false;
    }
    forget_receipts();
    report_background_items();
    throw_if_interrupted();
    say("\n🔍 Step 3: Verifying Clean State");
    const bool clean = verify_clean_state();
    throw_if_interrupted();
    return clean;
}

// Before anything changes: what a run cannot go on without knowing. Without the bundle, a record
// that cannot be trusted leaves unknown what the earlier run set out to remove; a complete removal
// must know what names Brinvast, and every place it keeps something, before it removes anything.
// A dry run warns where a real complete removal would stop.
bool BrinvastUninstaller::can_tell_enough() {
    if (app.record_refused && !app.from_bundle) {
        say("❌ Cannot tell what macOS keeps for Brinvast without a record that can be trusted: "
            "nothing was changed");
        return false;
    }
    if (!clean_all) return true;
    if (dry_run) {
        if (app.unreadable_bundle || !app.home.unexamined.empty()) predict(Outcome::failed);
        return true;
    }
    if (app.unreadable_bundle) {
        say("❌ Cannot tell what macOS keeps for Brinvast without reading what names it: nothing "
            "was changed");
        return false;
    }
    if (!app.home.unexamined.empty()) {
        say("❌ Cannot tell what macOS keeps for Brinvast where it cannot be examined: nothing "
            "was changed");
        return false;
    }
    return true;
}

Outcome BrinvastUninstaller::outcome() const {
    return result;
}

bool BrinvastUninstaller::report_outcome(bool success) {
    say(std::string("\n") + RULE);
    if (!success) {
        say("❌ Uninstall failed!");
        say(RULE);
        if (!dry_run) {
            say("⚠️  Attempting automatic rollback...");
            rollback_changes();
        }
        return false;
    }
    result = prediction.value_or(Outcome::succeeded);
    say("🎉 Uninstall completed successfully!");
    say(RULE);
    say("\n📋 Actions completed:");
    for (const std::string& action : actions_performed)
        say("   ✅ " + action);
    if (!app.staying.empty()) say("");
    for (const std::string& line : app.staying)
        say(line);
    say("\n🚀 System is ready for fresh Brinvast installation");
    return true;
}

}  // namespace brinvast
