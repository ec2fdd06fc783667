// SPDX-License-Identifier: MIT
// What macOS keeps for Brinvast under its identities: read from the bundle or the record,
// surveyed in every run, removed in complete removal, and verified gone.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app_traces.h"
#include "fs.h"
#include "report.h"
#include "uninstaller.h"

namespace brinvast {

namespace {

std::string trace_line(const AppTrace& trace) {
    if (trace.link) return "   🔗 " + trace.path + " (a link, removed as a link)";
    const std::string size = format_mb(static_cast<double>(trace.bytes) / BYTES_PER_MB) + " MB";
    if (!trace.directory) return "   📄 " + trace.path + " (" + size + ")";
    return "   📁 " + trace.path + " (" + std::to_string(trace.file_count) + " files, " + size + ")";
}

// The names that another app claims too, taken out of `names`, each with its line.
std::vector<std::string> unclaimed(const std::vector<std::string>& names, const char* what,
                                   const std::map<std::string, std::string, NameLess>& claims,
                                   std::vector<std::string>& lines) {
    std::vector<std::string> kept;
    for (const std::string& name : names) {
        const auto claimed = claims.find(name);
        if (claimed == claims.end()) {
            kept.push_back(name);
        } else {
            lines.push_back("⚠️  Leaving " + std::string(what) + name + ": " + claimed->second +
                            " claims it too");
        }
    }
    return kept;
}

}  // namespace

// The bundle's identities, with those the record kept from an earlier run; the record alone
// when the bundle is gone. Read before step 1, so that a dry run shows what a real run would do.
// The record is the home's, read with its owner's rights; it never names anything system-wide for
// root. The bundle is read with the run's own rights.
void BrinvastUninstaller::read_app_identities(bool app_exists) {
    RecordRead record;
    {
        const ActingAsHomeOwner as_owner(home_owner);
        record = read_record(home);
    }
    RecordRead shared = read_shared_record(system_root());
    const std::pair<const RecordRead*, std::string> records[] = {
        {&record, home + "/" + RECORD_FOLDER + "/" + RECORD_NAME},
        {&shared, (system_root() == "/" ? "" : system_root()) + "/" + SHARED_RECORD_FOLDER + "/" +
                      SHARED_RECORD_NAME}};
    for (const auto& [read, path] : records) {
        if (!read->problem) continue;
        say("⚠️  Not trusting " + path + ": " + read->problem.text);
        note_unexamined(path, read->problem.text);
        app.record_refused = true;
    }
    if (record.identities && root_run) {
        record.identities->daemons.clear();
        record.identities->receipts.clear();
    }
    app.recorded = record.identities.has_value();
    app.identities = std::move(record.identities);
    // Root wrote the shared record for every user: what it names, root may act on.
    if (shared.identities) {
        app.root_daemons = shared.identities->daemons;
        if (!app.identities) {
            app.identities = std::move(shared.identities);
        } else if (same_name(app.identities->identifier, shared.identities->identifier)) {
            merge_identities(*app.identities, *shared.identities);
        }
    }
    if (app_exists) read_bundle_identities();
}

void BrinvastUninstaller::read_bundle_identities() {
    IdentitiesRead read = read_identities(app_path);
    if (!read.identities) {
        if (read.unreadable) {
            say("⚠️  Cannot read what names Brinvast: " + read.problems.front().text);
            note_unexamined(app_path + "/Contents/Info.plist", read.problems.front().text);
            app.unreadable_bundle = true;
        } else if (clean_all && !app.identities) {
            // A bundle cut short by an earlier run may have lost its Info.plist: the record
            // stands in.
            say("⚠️  Not looking for what macOS keeps for Brinvast: " +
                read.problems.front().text);
        }
        return;
    }
    for (const Problem& problem : read.problems)
        say("⚠️  Ignoring part of Brinvast.app: " + problem.text);
    read.identities->receipts = receipts_of_bundle();
    if (app.identities && app.identities->identifier == read.identities->identifier)
        merge_identities(*read.identities, *app.identities);
    app.identities = std::move(read.identities);
    app.from_bundle = true;
}

void BrinvastUninstaller::survey_app_traces(bool app_exists) {
    read_app_identities(app_exists);
    {
        const ActingAsHomeOwner as_owner(home_owner);
        TraceSurvey agents = launch_agents_into(home, app_path);
        app.agents_into = std::move(agents.traces);
        if (app.identities) survey_home_traces();
        app.home.unexamined.insert(app.home.unexamined.end(), agents.unexamined.begin(),
                                   agents.unexamined.end());
    }
    for (const AppTrace& agent : app.agents_into) {
        if (agent.owner.empty())
            say("⚠️  Not stopping the launch job of " + agent.path +
                ": its label is not one to use");
    }
    report_unexamined();
    survey_system_jobs();
}

// What macOS keeps in the home under the identities, less what another installed app claims.
void BrinvastUninstaller::survey_home_traces() {
    AppIdentities& ids = *app.identities;
    app.others = other_installed_apps(app_path, home, ids.identifier, !ids.groups.empty());
    for (const std::string& copy : app.others.same_identifier)
        say("⚠️  Another Brinvast with this identifier is installed: " + copy);
    std::vector<std::string> lines;
    AppIdentities& ours = app.ours;
    ours = ids;
    ours.nested.clear();
    for (const std::string& nested : ids.nested) {
        if (const std::string* other = app.others.claiming(nested)) {
            lines.push_back("⚠️  Leaving what macOS keeps for " + nested + ": " + *other +
                            " claims it too");
        } else {
            ours.nested.push_back(nested);
        }
    }
    ours.groups = unclaimed(ids.groups, "the app group ", app.others.groups, lines);
    ours.agents = unclaimed(ids.agents, "the launch job ", app.others.labels, lines);
    ours.daemons = unclaimed(ids.daemons, "the launch job ", app.others.labels, lines);
    const bool name_space = app.others.unreadable.empty();
    if (!name_space) {
        lines.push_back("⚠️  Leaving the names below " + ids.identifier + ": " +
                        app.others.unreadable.front() + ", and an app that cannot be read may " +
                        "claim them");
    }
    for (const std::string& line : lines)
        say(line);
    app.home = survey_traces(home, {ours, app.others, name_space});
    report_traces();
}

// The traces under the identity they are kept for, and in each folder what could not be listed.
void BrinvastUninstaller::report_traces() {
    std::vector<std::string> owners;
    for (const AppTrace& trace : app.home.traces) {
        if (std::ranges::find(owners, trace.owner) == owners.end()) owners.push_back(trace.owner);
    }
    for (const std::string& owner : owners) {
        say("\n📋 What macOS keeps for " + owner + ":");
        for (const AppTrace& trace : app.home.traces) {
            if (trace.owner != owner) continue;
            say(trace_line(trace));
            report_unlisted(trace.unlisted, trace.unlisted_count, "      ");
        }
    }
}

// What the survey could not examine, and the places whose name space it could not list.
void BrinvastUninstaller::report_unexamined() {
    for (const std::string& place : app.home.unexamined) {
        say("⚠️  Cannot examine " + place);
        note_unexamined(place);
    }
    for (const std::string& place : app.home.unlisted) {
        say("⚠️  Cannot list " + place);
        note_unexamined(place);
    }
    if (!app.home.unlisted.empty()) {
        app.staying.push_back("⚠️  Names below " + app.identities->identifier +
                              " in folders that cannot be listed may stay");
    }
}

// The privileged helpers' files and the installer's receipts, which only root may remove. Root
// acts only on the daemons that its own evidence shows to be Brinvast's.
void BrinvastUninstaller::survey_system_jobs() {
    if (root_run) app.ours.daemons = daemons_root_may_stop();
    app.system = survey_system_traces(system_root(), app.ours.daemons);
    if (!app.system.traces.empty()) say("\n📋 Privileged helpers of Brinvast:");
    for (const AppTrace& trace : app.system.traces)
        say(trace_line(trace));
    const std::vector<std::string>& receipts = app.ours.receipts;
    if (!receipts.empty()) say("\n📋 Installer receipts that own Brinvast.app:");
    for (const std::string& receipt : receipts)
        say("   📄 " + receipt);
    if (root_run) return;
    if (!app.system.traces.empty())
        stays(
            "⚠️  Leaving the privileged helpers of Brinvast: only an administrator's run "
            "removes "
            "them");
    for (const AppTrace& trace : app.system.traces)
        note_kept(trace.path, "only an administrator's run removes it");
    if (!receipts.empty())
        stays(
            "⚠️  Leaving the installer's receipts: only an administrator's run can forget "
            "them");
    for (const std::string& receipt : receipts)
        note_kept(receipt, "only an administrator's run can forget it");
}

// A line of what stays, said now and again before the report's end.
void BrinvastUninstaller::stays(const std::string& line) {
    say(line);
    app.staying.push_back(line);
}

// The same for what stays at `path`, and why.
void BrinvastUninstaller::stays(const std::string& line, const std::string& path,
                                const std::string& why) {
    stays(line);
    note_kept(path, why);
}

// Whether a run has anything of the app's to do beyond the bundle and the folders.
bool BrinvastUninstaller::app_work_left() const {
    const bool traces = clean_all && app.others.same_identifier.empty() &&
                        (!app.home.traces.empty() || !app.home.unexamined.empty());
    const bool system =
        root_run && (!app.system.traces.empty() || (app.identities && !app.ours.receipts.empty()));
    const bool unknown = app.record_refused && !app.from_bundle;
    return traces || system || unknown || !app.agents_into.empty();
}

// Before step 1 of a real run: the identities are written down, so that a run cut short after
// the bundle went, or a complete removal after a standard one, still finds what they name.
bool BrinvastUninstaller::record_app_identities() {
    if (!app.identities || !app.from_bundle) return true;
    {
        const ActingAsHomeOwner as_owner(home_owner);
        if (dry_run) {
            if (const Problem refused = record_refused_at(home)) {
                say("⚠️  A real run cannot write down what names Brinvast before removing "
                    "it: " +
                    refused.text);
                predict(Outcome::failed);
            }
            return true;
        }
        app.record_is_new = !app.recorded;
        if (const Problem refused = write_record(home, *app.identities, app.recorded)) {
            say("❌ Cannot write down what names Brinvast before removing it: " + refused.text);
            return false;
        }
    }
    return record_for_every_user();
}

// As root, before the shared bundle goes: what root may trust of its names is written down for
// every user of the Mac, whose later runs find no bundle. Only a bundle that nobody but root and
// the administrators can change names anything for other users' homes.
bool BrinvastUninstaller::record_for_every_user() {
    if (!root_run || app.bundle_doubt) return true;
    AppIdentities trusted = *app.identities;
    trusted.daemons = app.ours.daemons;
    trusted.receipts = app.ours.receipts;
    if (const Problem refused = write_shared_record(system_root(), trusted)) {
        say("❌ Cannot write down what names Brinvast for every user before removing it: " +
            refused.text);
        return false;
    }
    return true;
}

// Step 2 of complete removal, after the directories: each trace goes with the same safe removal,
// one line each. Another copy of Brinvast still uses them, and then they stay.
bool BrinvastUninstaller::remove_app_traces() {
    if (!app.identities) return true;
    if (!app.others.same_identifier.empty()) {
        const std::string& id = app.identities->identifier;
        say("⚠️  Leaving what macOS keeps for " + id +
            ": another Brinvast with this identifier uses it");
        for (const AppTrace& trace : app.home.traces)
            note_kept(trace.path, "another Brinvast with this identifier uses it");
        app.staying.push_back("⚠️  What macOS keeps for " + id +
                              " stays for the other Brinvast");
        return true;
    }
    bool success = true;
    for (const AppTrace& trace : app.home.traces) {
        if (dry_run) {
            _log_action("DRY RUN: Would remove what macOS keeps: " + trace.path);
            note_removed(trace.path, "what macOS kept", trace.bytes);
        } else {
            success =
                remove_app_trace(trace, home, "Removed what macOS kept: ", "what macOS kept") &&
                success;
        }
    }
    return success;
}

// A launch agent is stopped before its file goes, and preferences go through the preferences
// system too, whose cache would otherwise outlive the file. A container that macOS guards even
// from root is left, with a word on how to remove it, and fails nothing.
bool BrinvastUninstaller::remove_app_trace(const AppTrace& trace, const std::string& base,
                                           const std::string& action, const std::string& what) {
    if (trace.kind == AppTrace::Kind::launch_agent) stop_agent_of(trace, base);
    // cfprefsd may delete the file itself once told: then it went all the same.
    const bool forgotten = forget_preferences(trace);
    app.set_out.push_back(trace);
    try {
        const bool system = trace.kind == AppTrace::Kind::system;
        const ActingAsHomeOwner as_owner(system ? std::nullopt : home_owner);
        if (remove_trace(base, trace) || forgotten) {
            _log_action(action + trace.path);
            note_removed(trace.path, what, trace.bytes);
        }
        return true;
    } catch (const std::system_error& error) {
        if (trace.kind == AppTrace::Kind::container && is_permission_error(error)) {
            app.set_out.pop_back();
            const std::string why = "drag it to the Trash in Finder, then empty the Trash";
            stays("⚠️  macOS keeps " + trace.path + " from being removed: " + why, trace.path,
                  "macOS keeps it from being removed: " + why);
            return true;
        }
        if (is_permission_error(error)) {
            report_refusal(trace.path, error, false);
        } else {
            say("❌ Failed to remove " + trace.path + ": " + error.what());
        }
        return false;
    }
}

// The preferences system caches what it read, and would hand it to a reinstalled app or write
// the file back: it forgets the domain before its file goes. A domain it no longer knows is
// forgotten already. True when it forgot.
bool BrinvastUninstaller::forget_preferences(const AppTrace& trace) {
    const bool this_host = trace.kind == AppTrace::Kind::host_preferences;
    // Only a ByHost file's domain depends on this Mac's UUID, which stays the same all run.
    if (this_host && !app.host_uuid) app.host_uuid = platform::host_uuid();
    const std::string domain = preferences_domain(trace, app.host_uuid.value_or(""));
    // The domain goes into a command: a name in the app's name space may hold anything.
    if (domain.empty() || !usable_name(domain)) return false;
    const std::vector<std::string> command =
        forget_preferences_command(platform::system_tools(), user_of_home(), domain, this_host);
    if (command.empty()) return false;
    const ToolAnswer answer = run_system_command(command);
    if (answer.succeeded() || (!answer.problem && answer.status == 1 &&
                               answer.output.find(") not found") != std::string::npos))
        return true;
    warn_unless(answer, "tell the preferences system to forget " + domain);
    return false;
}

bool BrinvastUninstaller::verify_traces_removed() {
    bool gone = true;
    for (const AppTrace& trace : app.set_out) {
        const bool system = trace.kind == AppTrace::Kind::system;
        const ActingAsHomeOwner as_owner(system ? std::nullopt : home_owner);
        Problem why;
        const Check state = trace_state(system ? system_root() : home, trace, why);
        if (state == Check::done) continue;
        say(state == Check::left ? "❌ Still exists: " + trace.path
                                 : "❌ Cannot examine " + trace.path + ": " + why.text);
        gone = false;
    }
    return verify_jobs_and_receipts() && gone;
}

// After a real run: the record goes once nothing it names is left, and after a failed run that
// wrote it while the bundle still declares all it holds. False, with the line, when the run could
// not act as the home's owner to do so: a run that cannot finish what it began has failed.
bool BrinvastUninstaller::settle_record(bool success) {
    if (dry_run || !app.recorded) return true;
    if (!success) {
        IdentitiesRead still = read_identities(app_path);
        if (!app.record_is_new || !still.identities) return true;
        still.identities->receipts = app.identities->receipts;
        if (*still.identities != *app.identities) return true;
    } else {
        const bool traces_left = !app.home.traces.empty() && !clean_all;
        const bool system_left = !root_run && !app.system.traces.empty();
        const bool receipts_left = app.forgotten.size() < app.ours.receipts.size();
        if (!app.staying.empty() || traces_left || system_left || receipts_left ||
            !app.home.unexamined.empty())
            return true;
    }
    try {
        const ActingAsHomeOwner as_owner(home_owner);
        if (const Problem refused = remove_record(home))
            say("⚠️  Could not remove " + refused.text);
        return true;
    } catch (const std::system_error& error) {
        say(std::string("❌ ") + error.what());
        return false;
    }
}

}  // namespace brinvast
