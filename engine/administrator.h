// SPDX-License-Identifier: MIT
#pragma once

// Our own command line run again with an administrator's rights, for a bundle that only an
// administrator may remove (one that an installer package put there as root). Both platforms'
// commands are built here, on every platform, so that their quoting is tested wherever the tests
// run; administrator_command picks the one whose prompt the platform has.

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "errors.h"

namespace brinvast {

// What became of a command that asked for an administrator's password.
struct AdministratorRun {
    bool cancelled = false;  // the prompt was dismissed, so nothing ran
    int exit_status = 0;     // the program's own, or the prompt's when it failed otherwise
    std::string report;      // what was written to standard output and standard error
};

// The name of the user running this process, from the user database ($USER is whatever the
// caller set); the user id when it has none, which the command line then refuses.
[[nodiscard]] std::string current_user_name();

// The arguments of brinvast-uninstall for a run as root on behalf of `user`.
[[nodiscard]] std::vector<std::string> administrator_run_arguments(const std::string& user,
                                                                   bool clean_all);

// A program that root may run for this user, or why not.
struct ProgramForRoot {
    std::string path;  // the program's real path, to be run as it was checked; empty if refused
    Problem refusal;   // why root must not run it, naming the entry at fault
};

// Whether root may run the program at `program` on behalf of `user`: only when nobody else can
// have changed it, so that the administrator's password runs our code and not somebody's
// replacement. That holds when its real path, and every folder from "/" down to it, belongs to
// root or to `user`, is no link, and may be written by neither others nor a group other than
// `administrators`, who may become root anyway. A sticky folder of root's that others may write
// (/tmp) still lets nobody replace the entries of root or `user` in it.
[[nodiscard]] ProgramForRoot program_for_root(const std::string& program, uid_t user,
                                              std::optional<gid_t> administrators);

// Who besides root and the administrators may change the entry whose status is `info`: "its owner
// <name>", "its group" or "anybody"; nothing when nobody may.
[[nodiscard]] std::optional<std::string> others_than_administrators(const struct stat& info);

// Whether what the entry at `path` holds is only root's word, as root acts on it outside the home:
// when neither it nor any folder from "/" down to it may be changed by anybody but root and the
// members of the administrators' group, who may become root anyway (a package's bundle, or one an
// administrator put in /Applications, which is root's and the administrators'). Nothing when so,
// and when nothing stands at `path` in folders that only they may change; otherwise which entry
// may be changed and by whom, or why that cannot be told.
[[nodiscard]] std::optional<std::string> changeable_beyond_administrators(const std::string& path);

// The command that runs `program` with `arguments` as root once an administrator has agreed, at
// the prompt the platform's users know.
[[nodiscard]] std::vector<std::string> administrator_command(
    const std::string& program, const std::vector<std::string>& arguments);

// What became of that command, from its exit status, its standard output and its standard error.
[[nodiscard]] AdministratorRun administrator_outcome(int exit_status, const std::string& output,
                                                     const std::string& errors);

// `argument` as one word of a POSIX shell command, whatever characters it holds.
[[nodiscard]] std::string shell_quoted(const std::string& argument);

// `text` as an AppleScript string literal that reads back as `text`.
[[nodiscard]] std::string applescript_quoted(const std::string& text);

// macOS: osascript's "do shell script … with administrator privileges", which asks in the
// system's own dialog. AppleScript raises an error for a command that fails, and then keeps
// neither its output nor its exit status; so the shell always succeeds and writes the status
// after the output, and osascript_outcome takes it off again.
[[nodiscard]] std::vector<std::string> osascript_command(const std::string& program,
                                                         const std::vector<std::string>& arguments);
// From osascript's exit status and its standard output, which carries what the program wrote
// to its standard output and error and then its exit status.
[[nodiscard]] AdministratorRun osascript_outcome(int exit_status, const std::string& output);
// The same with osascript's own standard error, which holds the prompt's failure, and otherwise
// only osascript's own warnings: they stay out of the way of the status and out of the report.
[[nodiscard]] AdministratorRun osascript_outcome(int exit_status, const std::string& output,
                                                 const std::string& errors);

// Linux: polkit's pkexec, found on PATH, which gives the program's exit status back.
[[nodiscard]] std::vector<std::string> pkexec_command(const std::string& program,
                                                      const std::vector<std::string>& arguments);
// From pkexec's exit status and its standard output and error, merged.
[[nodiscard]] AdministratorRun pkexec_outcome(int exit_status, const std::string& output);

}  // namespace brinvast
