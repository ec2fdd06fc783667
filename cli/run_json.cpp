// SPDX-License-Identifier: MIT
#include "run_json.h"

#include <nlohmann/json.hpp>

namespace brinvast::cli {

namespace {

// The fields in the order a reader meets them, as the documentation lists them.
using json = nlohmann::ordered_json;

json noted(const std::vector<RunSummary::Noted>& entries) {
    json list = json::array();
    for (const RunSummary::Noted& entry : entries)
        list.push_back({{"path", entry.path}, {"why", entry.why}});
    return list;
}

json user_object(const UserRun& run) {
    json removed = json::array();
    for (const RunSummary::Removed& entry : run.summary.removed)
        removed.push_back({{"path", entry.path}, {"what", entry.what}, {"bytes", entry.bytes}});
    return {{"user", run.user},
            {"home", run.home},
            {"outcome", run.outcome},
            {"exit_status", run.exit_status},
            {"removed", std::move(removed)},
            {"kept", noted(run.summary.kept)},
            {"could_not_examine", noted(run.summary.could_not_examine)},
            {"report", run.report}};
}

}  // namespace

const char* outcome_name(Outcome outcome) {
    switch (outcome) {
        case Outcome::succeeded:
            return "succeeded";
        case Outcome::nothing_to_do:
            return "nothing_to_do";
        case Outcome::failed:
            break;
        case Outcome::brinvast_running:
            return "brinvast_running";
        case Outcome::home_busy:
            return "home_busy";
        case Outcome::needs_administrator:
            return "needs_administrator";
    }
    return "failed";
}

std::string run_json(const std::string& mode, bool dry_run, const std::string& outcome,
                     int exit_status, const std::vector<UserRun>& users) {
    json users_list = json::array();
    for (const UserRun& run : users)
        users_list.push_back(user_object(run));
    const json whole = {{"format", 1},
                        {"program", "brinvast-uninstall"},
                        {"version", "1.0"},
                        {"mode", mode},
                        {"dry_run", dry_run},
                        {"outcome", outcome},
                        {"exit_status", exit_status},
                        {"users", std::move(users_list)}};
    // A name from the disk need not be UTF-8: its bytes are replaced, never a reason to fail.
    return whole.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace brinvast::cli
