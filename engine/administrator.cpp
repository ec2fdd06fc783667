// SPDX-License-Identifier: MIT
#include "administrator.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <functional>
#include <system_error>

#include "fs.h"
#include "platform.h"
#include "user_account.h"

namespace brinvast {

namespace {

// What pkexec exits with when the user dismissed its dialog; 127 is any other refusal.
constexpr int PKEXEC_DISMISSED = 126;
// AppleScript's error number for a dialog that the user cancelled ("User canceled.", in the
// system's language).
constexpr const char* APPLESCRIPT_USER_CANCELED = "(-128)";

}  // namespace

std::string current_user_name() {
    return user_name(::getuid());
}

std::vector<std::string> administrator_run_arguments(const std::string& user, bool clean_all) {
    std::vector<std::string> arguments{"--user", user, "--yes"};
    if (clean_all) arguments.emplace_back("--complete");
    return arguments;
}

namespace {

// Whether `uid` may own an entry that root trusts.
using MayOwn = std::function<bool(uid_t)>;

// Who besides root and those that `may_own` accepts may change the entry `info`: its owner, its
// group, anybody; nothing when nobody may.
std::optional<std::string> others_who_may_change(const struct stat& info, const MayOwn& may_own,
                                                 std::optional<gid_t> administrators) {
    if (info.st_uid != 0 && !may_own(info.st_uid)) return "its owner " + user_name(info.st_uid);
    const bool sticky_of_roots =
        S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0 && info.st_uid == 0;
    if ((info.st_mode & S_IWOTH) != 0 && !sticky_of_roots) return "anybody";
    if ((info.st_mode & S_IWGRP) != 0 && info.st_gid != administrators && !sticky_of_roots) {
        return "its group";
    }
    return std::nullopt;
}

// The first entry from "/" down to `real`, an absolute path without links, that somebody else
// than root and those that `may_own` accepts may change, and who; or why it cannot be told.
// Nothing when there is none. With `absent_ends`, an entry that does not exist ends the walk:
// nobody can put one there without changing a folder above it.
std::optional<std::string> first_changeable(const std::string& real, const MayOwn& may_own,
                                            std::optional<gid_t> administrators, bool absent_ends) {
    if (!real.starts_with('/')) return real + " is no absolute path";
    for (std::size_t end = 1;; end = std::min(real.find('/', end + 1), real.size())) {
        const std::string entry = real.substr(0, end);  // "/" first
        struct stat info {};
        if (::lstat(entry.c_str(), &info) != 0) {
            const int error = errno;
            if (absent_ends && (error == ENOENT || error == ENOTDIR)) return std::nullopt;
            return std::strerror(error) + (": " + entry);
        }
        if (S_ISLNK(info.st_mode)) return entry + " is a symbolic link";
        if (const auto who = others_who_may_change(info, may_own, administrators)) {
            return entry + " may be changed by " + *who;
        }
        if (end == real.size()) return std::nullopt;
    }
}

}  // namespace

ProgramForRoot program_for_root(const std::string& program, uid_t user,
                                std::optional<gid_t> administrators) {
    const std::string real = real_path(program);
    const MayOwn may_own = [user](uid_t owner) { return owner == user; };
    if (auto refusal = first_changeable(real, may_own, administrators, false))
        return {{}, std::move(*refusal)};
    return {real, {}};
}

namespace {

// Whether an administrator may own what root trusts: the members of the administrators' group.
MayOwn administrators_may_own(std::optional<gid_t> administrators) {
    return [administrators](uid_t owner) {
        return administrators && belongs_to_group(owner, *administrators);
    };
}

}  // namespace

std::optional<std::string> others_than_administrators(const struct stat& info) {
    const std::optional<gid_t> administrators = platform::administrators_group();
    return others_who_may_change(info, administrators_may_own(administrators), administrators);
}

std::optional<std::string> changeable_beyond_administrators(const std::string& path) {
    const std::optional<gid_t> administrators = platform::administrators_group();
    return first_changeable(real_path(path), administrators_may_own(administrators), administrators,
                            true);
}

// Inside single quotes nothing is special but the quote itself, which closes them: it is
// written as a quote escaped between two quoted runs.
std::string shell_quoted(const std::string& argument) {
    std::string quoted = "'";
    for (const char c : argument) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

// Line breaks are written as escapes too, so that the script stays on the one line that -e
// gives it.
std::string applescript_quoted(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        switch (c) {
            case '\\':
                quoted += "\\\\";
                break;
            case '"':
                quoted += "\\\"";
                break;
            case '\n':
                quoted += "\\n";
                break;
            case '\r':
                quoted += "\\r";
                break;
            default:
                quoted += c;
        }
    }
    return quoted + "\"";
}

// "without altering line endings" keeps the report's line feeds, which AppleScript would
// otherwise turn into carriage returns.
std::vector<std::string> osascript_command(const std::string& program,
                                           const std::vector<std::string>& arguments) {
    std::string shell = shell_quoted(program);
    for (const std::string& argument : arguments)
        shell.append(" ").append(shell_quoted(argument));
    shell.append(" 2>&1; printf '\\n%d' $?");
    std::string script = "do shell script ";
    script.append(applescript_quoted(shell))
        .append(" with administrator privileges without altering line endings");
    return {"/usr/bin/osascript", "-e", script};
}

// osascript prints the script's result followed by a line break of its own.
AdministratorRun osascript_outcome(int exit_status, const std::string& output) {
    if (exit_status != 0) {
        return {output.find(APPLESCRIPT_USER_CANCELED) != std::string::npos, exit_status, output};
    }
    const std::size_t last_digit = output.find_last_not_of('\n');
    const std::size_t separator =
        last_digit == std::string::npos ? last_digit : output.rfind('\n', last_digit);
    // Without the status, which the shell always writes, nothing tells that the run succeeded.
    if (separator == std::string::npos) return {false, 1, output};
    int status = 0;
    const char* const end = output.data() + last_digit + 1;
    const auto [parsed_to, error] = std::from_chars(output.data() + separator + 1, end, status);
    if (error != std::errc{} || parsed_to != end) return {false, 1, output};
    return {false, status, output.substr(0, separator)};
}

AdministratorRun osascript_outcome(int exit_status, const std::string& output,
                                   const std::string& errors) {
    return osascript_outcome(exit_status, exit_status == 0 ? output : output + errors);
}

std::vector<std::string> pkexec_command(const std::string& program,
                                        const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"pkexec", program};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

AdministratorRun pkexec_outcome(int exit_status, const std::string& output) {
    return {exit_status == PKEXEC_DISMISSED, exit_status, output};
}

std::vector<std::string> administrator_command(const std::string& program,
                                               const std::vector<std::string>& arguments) {
    switch (platform::administrator_prompt()) {
        case platform::AdministratorPrompt::osascript:
            return osascript_command(program, arguments);
        case platform::AdministratorPrompt::pkexec:
            break;
    }
    return pkexec_command(program, arguments);
}

// pkexec's own messages and the program's errors share its standard error.
AdministratorRun administrator_outcome(int exit_status, const std::string& output,
                                       const std::string& errors) {
    switch (platform::administrator_prompt()) {
        case platform::AdministratorPrompt::osascript:
            return osascript_outcome(exit_status, output, errors);
        case platform::AdministratorPrompt::pkexec:
            break;
    }
    return pkexec_outcome(exit_status, output + errors);
}

}  // namespace brinvast
