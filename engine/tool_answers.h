// SPDX-License-Identifier: MIT
#pragma once

// What the system's tools answer, and what may be decided on it. A tool's answer counts only when
// the tool ran, ended in time and gave its whole output, and only its documented "not found" says
// that something is absent: a tool that failed in any other way, or answered late, or whose output
// was cut, proves nothing either way.

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "errors.h"

namespace brinvast {

// What one run of a system tool gave.
struct ToolAnswer {
    int status = -1;     // its exit status
    std::string output;  // what it wrote to standard output and error, whole
    // Why nothing may be decided on the answer: the tool is not there, could not start, did not
    // answer in time, or wrote more than is kept. Status and output mean nothing then.
    Problem problem;

    [[nodiscard]] bool succeeded() const { return !problem && status == 0; }
    // Why the tool failed, for the report: the problem, or else its last line, or its status.
    [[nodiscard]] std::string failure() const;
};

// The three answers of every check: done (gone, stopped, forgotten), left (still there), or
// cannot tell.
enum class Check { done, left, cannot_tell };

// launchctl: whether a job is loaded, from `launchctl print`'s answer (left: loaded; done: launchd
// knows no such job).
[[nodiscard]] Check job_state(const ToolAnswer& print);
// Whether launchctl took a bootout: at once, or to finish it after the job has ended (36,
// "Operation now in progress").
[[nodiscard]] bool bootout_taken(const ToolAnswer& bootout);
// Whether launchctl answered that the job is not loaded (3, ESRCH; 113, no such service).
[[nodiscard]] bool job_not_loaded(const ToolAnswer& answer);
// Whether launchctl answered that the domain does not exist (112) or cannot do that (125): a
// user's gui/<uid> domain while nobody is logged in.
[[nodiscard]] bool domain_missing(const ToolAnswer& answer);

// What `launchctl print` tells of a loaded job: the program it runs, its process, and how long
// launchd waits after SIGTERM before it kills it (ExitTimeOut, 20 seconds unless set).
struct LoadedJob {
    std::string program;
    int pid = 0;
    std::chrono::seconds exit_timeout{20};
};
[[nodiscard]] LoadedJob loaded_job_in(std::string_view print);

// pkgutil: the packages that `pkgutil --file-info` names as owning the path, whose names are
// usable; whether `pkgutil --pkg-info` still finds a receipt (done: "No receipt for").
[[nodiscard]] std::vector<std::string> receipts_in(std::string_view file_info);
[[nodiscard]] Check receipt_state(const ToolAnswer& pkg_info);

// The value of the line `key` in what a tool wrote, "" when it has none.
[[nodiscard]] std::string field_in(std::string_view text, std::string_view key);
// The lines of what a tool wrote.
[[nodiscard]] std::vector<std::string_view> lines_in(std::string_view text);

// One entry of the Background Task Management database, as `sfltool dumpbtm` lists it: its name,
// and the paths it points at (its URL and executable), a relative URL made absolute below its
// parent app where the parent's bundle identifier is `parent_identifier`.
struct BackgroundItem {
    std::string name;
    std::vector<std::string> paths;
};
[[nodiscard]] std::vector<BackgroundItem> background_items_in(std::string_view dumpbtm,
                                                              const std::string& parent_identifier,
                                                              const std::string& parent_path);

// Whether the code requirement `requirement` (an entry of a privileged helper's
// SMAuthorizedClients) names exactly the identifier `identifier`: `identifier "com.x.App"`, or
// unquoted.
[[nodiscard]] bool requirement_names(std::string_view requirement, std::string_view identifier);

}  // namespace brinvast
