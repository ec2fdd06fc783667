// SPDX-License-Identifier: MIT
// The record of an app's identities that outlives its bundle: its text, and the file in the home
// that holds it, written durably and read back only when nobody else could have written it.
#include "app_identities.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "fs.h"
#include "identity_names.h"
#include "platform.h"
#include "unique_fd.h"

namespace brinvast {

namespace {

constexpr std::size_t MAX_RECORD = 64 * 1024;
constexpr std::string_view RECORD_HEADER = "brinvast-uninstall identities 1";
constexpr std::string_view RECORD_END = "end";

}  // namespace

std::string record_text(const AppIdentities& identities) {
    std::string text = std::string(RECORD_HEADER) + "\nidentifier " + identities.identifier + "\n";
    if (!identities.team.empty()) text += "team " + identities.team + "\n";
    for (const IdentityList& list : IDENTITY_LISTS) {
        for (const std::string& name : identities.*list.names)
            text += std::string(list.record_key) + " " + name + "\n";
    }
    return text + std::string(RECORD_END) + "\n";
}

namespace {

bool usable_team(std::string_view team) {
    return !team.empty() && team.size() <= 64 && std::ranges::all_of(team, is_letter_or_digit);
}

// Adds the record's line `key value` to `found`; false when the line is not one we write.
bool read_record_line(std::string_view key, std::string_view value, AppIdentities& found) {
    const std::string name(value);
    if (key == "identifier") {
        if (!found.identifier.empty() || !usable_name(value)) return false;
        found.identifier = name;
        return true;
    }
    if (key == "team") {
        if (!found.team.empty() || !usable_team(value)) return false;
        found.team = name;
        return true;
    }
    const auto list = std::ranges::find(IDENTITY_LISTS, key, &IdentityList::record_key);
    if (list == IDENTITY_LISTS.end()) return false;
    std::vector<std::string>& names = found.*list->names;
    if (!usable_name(value, list->group) || names.size() >= MAX_NAMES) return false;
    add_sorted(names, name);
    return true;
}

}  // namespace

std::optional<AppIdentities> identities_in_record(std::string_view text, Problem& problem) {
    problem = "it is not a record this uninstaller writes";
    const std::string ending = "\n" + std::string(RECORD_END) + "\n";
    if (!text.starts_with(std::string(RECORD_HEADER) + "\n") || !text.ends_with(ending)) {
        return std::nullopt;
    }
    AppIdentities found;
    text =
        text.substr(RECORD_HEADER.size() + 1, text.size() - RECORD_HEADER.size() - ending.size());
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        const std::size_t blank = line.find(' ');
        if (blank == std::string_view::npos ||
            !read_record_line(line.substr(0, blank), line.substr(blank + 1), found)) {
            return std::nullopt;
        }
    }
    if (found.identifier.empty()) return std::nullopt;
    problem = {};
    return found;
}

namespace {

// Whether `error` says only that nothing is there.
bool not_there(const std::error_code& error) {
    return error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory;
}

// The system's refusal `error`, in its own words.
Problem system_problem(int error) {
    const std::error_code code(error, std::generic_category());
    return {code.message(), code};
}

// The record's folder below `home`, opened for reading and writing entries.
Result<unique_fd> record_folder(const std::string& home, bool create) {
    const Result<unique_fd> top = platform::open_search_only(AT_FDCWD, home.c_str());
    if (top.error) return {{}, top.error};
    Result<unique_fd> folder = open_listable(top.value.get(), RECORD_FOLDER);
    if (folder.error == std::errc::no_such_file_or_directory && create) {
        (void)::mkdirat(top.value.get(), "Library", 0700);
        const Result<unique_fd> library = platform::open_folder_beneath(top.value.get(), "Library");
        if (!library.error) (void)::mkdirat(library.value.get(), "Application Support", 0755);
        folder = open_listable(top.value.get(), RECORD_FOLDER);
    }
    return folder;
}

std::string record_path(const std::string& home) {
    return home + "/" + RECORD_FOLDER + "/" + RECORD_NAME;
}

}  // namespace

RecordRead read_record(const std::string& home) {
    const auto [folder, folder_error] = record_folder(home, false);
    RecordRead read;
    if (folder_error) {
        if (!not_there(folder_error)) read.problem = system_problem(folder_error.value());
        return read;
    }
    const unique_fd file(
        ::openat(folder.get(), RECORD_NAME, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.valid()) {
        const int error = errno;
        if (error != ENOENT) read.problem = system_problem(error);
        return read;
    }
    struct stat status {};
    const uid_t reader = ::geteuid();
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        (status.st_uid != reader && status.st_uid != 0) || (status.st_mode & 022) != 0 ||
        status.st_size > static_cast<off_t>(MAX_RECORD)) {
        read.problem = "it is not a file of ours";
        return read;
    }
    std::string text(static_cast<std::size_t>(status.st_size), '\0');
    const ssize_t got = ::pread(file.get(), text.data(), text.size(), 0);
    if (got != static_cast<ssize_t>(text.size())) {
        read.problem = got < 0 ? system_problem(errno) : Problem("it changed while read");
        return read;
    }
    read.identities = identities_in_record(text, read.problem);
    return read;
}

bool write_record(const std::string& home, const AppIdentities& identities) {
    const std::string path = record_path(home);
    const auto [folder, folder_error] = record_folder(home, true);
    if (not_there(folder_error) && !path_exists(home)) return false;
    if (folder_error) throw fs_error(not_there(folder_error) ? ENOENT : folder_error.value(), path);
    const std::string fresh = std::string(RECORD_NAME) + "-new";
    (void)::unlinkat(folder.get(), fresh.c_str(), 0);
    const unique_fd file(::openat(folder.get(), fresh.c_str(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid()) {
        const int error = errno;
        throw fs_error(error, path + "-new");
    }
    const std::string text = record_text(identities);
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t wrote = ::write(file.get(), text.data() + done, text.size() - done);
        const int error = wrote < 0 ? errno : EIO;
        if (wrote < 0 && error == EINTR) continue;
        if (wrote <= 0) throw fs_error(error, path + "-new");
        done += static_cast<std::size_t>(wrote);
    }
    if (const std::error_code error = platform::sync_to_disk(file.get()))
        throw fs_error(error.value(), path + "-new");
    if (::renameat(folder.get(), fresh.c_str(), folder.get(), RECORD_NAME) != 0) {
        const int error = errno;
        throw fs_error(error, path);
    }
    if (const std::error_code error = platform::sync_to_disk(folder.get()))
        throw fs_error(error.value(), path);
    return true;
}

Problem record_refused_at(const std::string& home) {
    const Result<unique_fd> top = platform::open_search_only(AT_FDCWD, home.c_str());
    if (top.error) return {top.error.message() + ": " + home, top.error};
    // The record's folder, or else the folder it would be made in.
    for (const char* folder : {RECORD_FOLDER, "Library", "."}) {
        const auto [dir, error] = open_listable(top.value.get(), folder);
        const std::string path = home + (*folder == '.' ? "" : std::string("/") + folder);
        if (error == std::errc::no_such_file_or_directory) continue;
        if (error) return {error.message() + ": " + path, error};
        if (::faccessat(dir.get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
            const std::error_code refused = last_error();
            return {refused.message() + ": " + path, refused};
        }
        return {};
    }
    return {};
}

void remove_record(const std::string& home) {
    const auto [folder, folder_error] = record_folder(home, false);
    if (folder_error) {
        if (!not_there(folder_error)) throw fs_error(folder_error.value(), record_path(home));
        return;
    }
    if (::unlinkat(folder.get(), RECORD_NAME, 0) != 0) {
        const int error = errno;
        if (error != ENOENT) throw fs_error(error, record_path(home));
    }
}

}  // namespace brinvast
