// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "app_traces.h"
#include "database_files.h"
#include "fs.h"
#include "home_owner.h"
#include "locations.h"
#include "run_lock.h"
#include "tool_answers.h"

namespace brinvast {

struct TreeTotals;

// What the survey learnt about one product directory: absent (exists false), measured, or
// failed (exists true with the error that stopped the measuring).
struct DirectoryInfo {
    struct Measurement {
        std::uint64_t file_count = 0;
        std::uint64_t dir_count = 0;
        double total_size_mb = 0.0;
        std::string modified;
        std::uint64_t total_bytes = 0;
        std::optional<LockedEntry> locked;  // what would stop its removal; looked for in a dry run
    };

    bool exists = false;
    std::optional<Measurement> measured;  // present exactly when the record has `file_count`
    std::optional<std::string> error;
};

// The survey's result: one record per product directory, in the order of the list.
using DirectoryInfoMap = std::vector<std::pair<std::string, DirectoryInfo>>;

// How long the system's tools may take: each call, and all the calls of one run together. What a
// tool has not answered by then cannot be told.
struct ToolLimits {
    std::chrono::milliseconds per_call = std::chrono::seconds(30);
    std::chrono::milliseconds per_run = std::chrono::seconds(120);
};

// What a front end gives the engine for its run, beyond the mode and where to work.
struct RunOptions {
    // The home's lock, when the front end took it before the run; otherwise the run takes it,
    // waiting up to `lock_patience` for another run to finish.
    std::optional<RunLock> lock{};
    std::chrono::milliseconds lock_patience = std::chrono::seconds(60);
    bool from_window = false;  // hints name the window, not what started the command line
    // Whose rights the run takes in the home; when none is given, a run as root takes those of
    // the home's owner.
    std::optional<HomeOwner> home_owner{};
    ToolLimits tool_limits{};
};

// How a run ended, for the front end to tell its user or its caller. Every outcome but the first
// two comes of a run that failed, and whatever it had changed was rolled back.
enum class Outcome {
    succeeded,
    nothing_to_do,        // the system was already clean
    failed,               // for any reason not named below
    brinvast_running,     // a real run refused: Brinvast ran from the bundle
    home_busy,            // another run held the home's lock for too long: nothing was changed
    needs_administrator,  // the bundle could not be removed for lack of rights
};

// What a run removed, kept and could not examine, each by its path; in a dry run, `removed` is
// what a real run would remove. For the front ends' summaries: a script's JSON, the window's
// preview of what will go.
struct RunSummary {
    struct Removed {
        std::string path;  // a path; or a launch job's domain/label, or an installer package's id
        std::string what;
        std::uint64_t bytes = 0;
    };
    struct Noted {
        std::string path;
        std::string why;
    };
    std::vector<Removed> removed;
    std::vector<Noted> kept;
    std::vector<Noted> could_not_examine;
};

// Once runs for every user of the Mac have left nothing of Brinvast in any home: the record of
// its names that root kept for every user goes. Why it could not.
[[nodiscard]] Problem forget_identities_for_every_user(const Locations& where);

// Removes Brinvast.app and backs up the database, or removes every product directory.
// One engine serves one run: it is given its options when made, and only its outcome and its
// report are read once run() is done.
class BrinvastUninstaller {
public:
    using RollbackFunc = std::function<void()>;

    // Uses the program's locations and writes to standard output.
    explicit BrinvastUninstaller(bool dry_run = false, bool force = false, bool clean_all = false);
    // Works on `where` and writes its report to `out`, which must outlive the engine. With
    // `home_owner`, everything in the home is done as that user.
    BrinvastUninstaller(bool dry_run, bool force, bool clean_all, const Locations& where,
                        std::ostream& out, std::optional<HomeOwner> home_owner = std::nullopt);
    // The same, with everything else the front end decides about the run.
    BrinvastUninstaller(bool dry_run, bool force, bool clean_all, const Locations& where,
                        std::ostream& out, RunOptions options);

    // Undo callables refer back to their engine, so it stays where it was made.
    BrinvastUninstaller(const BrinvastUninstaller&) = delete;
    BrinvastUninstaller& operator=(const BrinvastUninstaller&) = delete;

    void _log_action(const std::string& action, bool success = true,
                     RollbackFunc rollback_func = nullptr);
    [[nodiscard]] bool check_application_exists();
    [[nodiscard]] bool check_database_exists();
    [[nodiscard]] bool check_backup_database_exists();
    [[nodiscard]] bool remove_application();
    [[nodiscard]] bool backup_database();
    [[nodiscard]] DirectoryInfoMap check_brinvast_directories_exist();
    [[nodiscard]] bool remove_all_directories();
    [[nodiscard]] bool verify_clean_state();
    void rollback_changes();
    [[nodiscard]] bool run();
    // How the run ended; before run() has returned, what the steps called so far came to. A dry
    // run's is the outcome that a real run would have, as far as the survey can tell.
    [[nodiscard]] Outcome outcome() const;
    // What the run removed, kept and could not examine.
    [[nodiscard]] const RunSummary& summary() const { return run_summary; }

    const bool dry_run;
    const bool force;
    const bool clean_all;
    std::vector<std::string> actions_performed;
    std::vector<RollbackFunc> rollback_actions;
    const std::string app_path;
    const std::string db_path;
    const std::string backup_db_path;
    const std::vector<std::string> brinvast_directories;

private:
    void say(std::string_view line);
    void report_database(const char* heading, const std::string& path);
    void report_refusal(const std::string& target, const std::system_error& error, bool in_bundle);
    [[nodiscard]] bool clear_of_running_brinvast(bool warn_only);
    [[nodiscard]] bool lock_home(std::optional<RunLock>& lock);
    [[nodiscard]] bool put_right_cut_short_move();
    void report_cut_short_move(const CutShortMove& move);
    [[nodiscard]] bool database_can_move();
    [[nodiscard]] bool set_aside_lone_sidecars();
    void rollback_database(const DatabaseMove& moved);
    [[nodiscard]] bool discard_replaced_backup();
    [[nodiscard]] DirectoryInfo survey_directory(const std::string& path);
    void report_directories_to_remove(const DirectoryInfoMap& directory_info, std::size_t existing);
    [[nodiscard]] bool remove_existing_directories(const DirectoryInfoMap& directory_info,
                                                   const std::vector<std::string>& existing_dirs);
    void read_app_identities(bool app_exists);
    void read_bundle_identities();
    [[nodiscard]] std::vector<std::string> receipts_of_bundle();
    void survey_app_traces(bool app_exists);
    void survey_home_traces();
    void report_traces();
    void report_unexamined();
    void survey_system_jobs();
    [[nodiscard]] std::vector<std::string> daemons_root_may_stop();
    [[nodiscard]] bool helper_authorizes_brinvast(const std::string& label);
    [[nodiscard]] bool app_work_left() const;
    [[nodiscard]] bool can_tell_enough();
    void stop_launch_jobs();
    void stop_job(bool system, const std::string& label);
    void wait_for_job_to_end(bool system, const std::string& label, const ToolAnswer& print);
    [[nodiscard]] ToolAnswer launchctl(const char* verb, bool system, const std::string& label);
    [[nodiscard]] std::string session_domain() const;
    [[nodiscard]] bool record_app_identities();
    [[nodiscard]] bool record_for_every_user();
    [[nodiscard]] bool remove_app_traces();
    [[nodiscard]] bool remove_app_trace(const AppTrace& trace, const std::string& base,
                                        const std::string& action, const std::string& what);
    void stop_agent_of(const AppTrace& trace, const std::string& base);
    void unregister_application();
    void forget_removed_application();
    void forget_receipts();
    void forget_receipt(const platform::SystemTools& tools, const std::string& receipt);
    [[nodiscard]] std::string file_outside_bundle(const std::string& info,
                                                  const std::string& files) const;
    void report_background_items();
    void stays(const std::string& line, const std::string& path, const std::string& why);
    void stays(const std::string& line);
    void note_removed(const std::string& path, const std::string& what, std::uint64_t bytes = 0);
    void note_kept(const std::string& path, const std::string& why);
    void note_unexamined(const std::string& path, const std::string& why);
    void note_unexamined(const std::string& path_and_reason);
    void predict(Outcome outcome);
    void warn_locked(const std::string& path, const LockedEntry& locked);
    void note_what_standard_mode_keeps();
    [[nodiscard]] std::uint64_t bytes_of(const std::string& path) const;
    [[nodiscard]] bool verify_traces_removed();
    [[nodiscard]] bool verify_jobs_and_receipts();
    [[nodiscard]] bool settle_record(bool success);
    [[nodiscard]] std::string system_root() const;
    [[nodiscard]] UserOfHome user_of_home() const;
    [[nodiscard]] ToolAnswer run_system_command(const std::vector<std::string>& command);
    void warn_unless(const ToolAnswer& answer, const std::string& what);
    [[nodiscard]] bool forget_preferences(const AppTrace& trace);
    void report_survey_gaps(const std::string& path, const TreeTotals& totals);
    void report_unlisted(const std::vector<std::string>& folders, std::uint64_t count,
                         const std::string& indent);
    [[nodiscard]] bool verify_directories_removed();
    [[nodiscard]] bool verify_database_moved();
    void announce_run();
    [[nodiscard]] bool run_steps(bool app_exists, bool database_step);
    [[nodiscard]] bool run_steps_and_report(bool app_exists, bool database_step,
                                            std::optional<RunLock>& lock);
    [[nodiscard]] bool report_outcome(bool success);

    const std::string home;  // locked for the run, so that two runs never overlap
    std::ostream& out;
    // Whether the run is root's, as root's rights were when the engine was made (acting as the
    // home's owner changes the effective user, not whose run it is): only then does it act outside
    // the home, and only on what root's own evidence shows to be Brinvast's.
    const bool root_run;
    const ToolLimits tool_limits;
    std::chrono::steady_clock::time_point tools_deadline{};  // when the run's tool time is spent
    // Whose rights the run takes in the home: the front end's choice, or else, once run() has
    // started, the home owner's when the run is root's.
    std::optional<HomeOwner> home_owner;
    std::optional<RunLock> run_lock;  // the front end's, until run() takes it over
    const std::chrono::milliseconds lock_patience;
    const bool run_from_window;
    Outcome result = Outcome::failed;  // failed until the run succeeds or meets a refusal
    // What a real run would meet that a dry run only warns of: its outcome, instead of success.
    std::optional<Outcome> prediction;
    RunSummary run_summary;
    bool move_pending = false;  // a dry run met a cut-short move that a real run puts right
    // What the run learnt of the app beyond its bundle and folders, and what it did there.
    struct AppFindings {
        std::optional<AppIdentities> identities;  // from the bundle, the record, or both
        bool from_bundle = false;                 // read from the bundle in this run
        bool unreadable_bundle = false;           // the bundle's Info.plist could not be read
        bool record_refused = false;              // a record stands that cannot be trusted
        bool recorded = false;                    // the record holds them
        bool record_is_new = false;               // written by this run, where none stood
        AppIdentities ours;  // less what another app claims too; as root, less what root's own
                             // evidence does not show to be Brinvast's
        OtherApps others;
        TraceSurvey home;                       // in the home, and the agents there into the bundle
        TraceSurvey system;                     // the privileged helpers' files
        std::vector<AppTrace> agents_into;      // launch agents into the bundle
        std::vector<AppTrace> set_out;          // every trace the run set out to remove
        std::vector<std::string> stopped_jobs;  // domain/label of each job the run set out to stop
        std::vector<std::string> forgotten;     // receipts
        std::vector<std::string> staying;       // one line per kind of what stays
        std::optional<std::string> host_uuid;   // asked at the first ByHost file
        bool no_gui_domain = false;             // nobody is logged in: jobs are in user/<uid>
        std::vector<std::string> root_daemons;  // named by root's own shared record
        // As root: who besides root and the administrators may change the bundle, or why that
        // cannot be told; nothing when nobody may, and root may take its word.
        std::optional<std::string> bundle_doubt = "the bundle was not read";
        bool removed_bundle = false;  // step 1 deleted it in this run
    } app;
};

}  // namespace brinvast
