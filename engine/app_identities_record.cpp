// SPDX-License-Identifier: MIT
// The record of an app's identities that outlives its bundle: its text, and the file in the home
// that holds it, written durably and read back only when nobody else could have written it.
#include "app_identities.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "administrator.h"
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
    std::string ending(1, '\n');  // appended, not added: GCC 12's -O3 warns of a false overlap
    ending.append(RECORD_END).push_back('\n');
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

// Where a record lies: its folder below a base, its name, and who may have written it.
struct RecordPlace {
    std::string base;    // the home, or the system's root
    const char* folder;  // below the base
    const char* name;
    bool shared;  // root's record for every user: root's file, readable by all, in root's folders
};

RecordPlace home_place(const std::string& home) {
    return {home, RECORD_FOLDER, RECORD_NAME, false};
}

RecordPlace shared_place(const std::string& system_root) {
    return {system_root == "/" ? std::string() : system_root, SHARED_RECORD_FOLDER,
            SHARED_RECORD_NAME, true};
}

std::string path_of(const RecordPlace& place) {
    return place.base + "/" + place.folder + "/" + place.name;
}

// Whether `error` says only that nothing is there.
bool not_there(const std::error_code& error) {
    return error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory;
}

// The system's refusal `error`, in its own words.
Problem system_problem(int error) {
    const std::error_code code(error, std::generic_category());
    return {code.message(), code};
}

// The record's folder, opened for reading and writing entries; with `create`, made where it is
// missing: a home's Library for its user alone, every other folder readable by all.
Result<unique_fd> record_folder(const RecordPlace& place, bool create) {
    const std::string base = place.base.empty() ? "/" : place.base;
    const Result<unique_fd> top = platform::open_search_only(AT_FDCWD, base.c_str());
    if (top.error) return {{}, top.error};
    Result<unique_fd> folder = open_listable(top.value.get(), place.folder);
    if (folder.error != std::errc::no_such_file_or_directory || !create) return folder;
    unique_fd below;  // the folder made or found last, below the base
    std::string made;
    const std::string_view path = place.folder;
    for (std::size_t start = 0; start < path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string name(path.substr(start, end - start));
        start = end + 1;
        const int at = below.valid() ? below.get() : top.value.get();
        made += (made.empty() ? "" : "/") + name;
        const bool private_library = !place.shared && made == "Library";
        (void)::mkdirat(at, name.c_str(), private_library ? 0700 : 0755);
        Result<unique_fd> next = platform::open_folder_beneath(at, name.c_str());
        if (next.error) break;
        below = std::move(next.value);
    }
    return open_listable(top.value.get(), place.folder);
}

RecordRead read_record_at(const RecordPlace& place) {
    const auto [folder, folder_error] = record_folder(place, false);
    RecordRead read;
    if (folder_error) {
        if (!not_there(folder_error)) read.problem = system_problem(folder_error.value());
        return read;
    }
    const unique_fd file(
        ::openat(folder.get(), place.name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.valid()) {
        const int error = errno;
        if (error != ENOENT) read.problem = system_problem(error);
        return read;
    }
    struct stat status {};
    const uid_t reader = ::geteuid();
    // The home's record is its reader's or root's; the shared one root's alone.
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        (status.st_uid != 0 && (place.shared || status.st_uid != reader)) ||
        (status.st_mode & 022) != 0 || status.st_size > static_cast<off_t>(MAX_RECORD)) {
        read.problem = "it is not a file of ours";
        return read;
    }
    if (place.shared) {
        if (const std::optional<std::string> who =
                changeable_beyond_administrators(path_of(place))) {
            read.problem = "it is not root's alone: " + *who;
            return read;
        }
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

// The system's refusal `error` of the call that concerned `path`, as the report names it.
Problem refused(int error, const std::string& path) {
    return {fs_error(error, path).what(), {error, std::generic_category()}};
}

// Writes the record durably: written beside, synced, renamed into place, its folder synced.
Problem write_record_at(const RecordPlace& place, const AppIdentities& identities) {
    const std::string path = path_of(place);
    const auto [folder, folder_error] = record_folder(place, true);
    if (folder_error) return refused(not_there(folder_error) ? ENOENT : folder_error.value(), path);
    const std::string fresh = std::string(place.name) + "-new";
    (void)::unlinkat(folder.get(), fresh.c_str(), 0);
    const unique_fd file(::openat(folder.get(), fresh.c_str(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                  place.shared ? 0644 : 0600));
    if (!file.valid()) return refused(errno, path + "-new");
    const std::string text = record_text(identities);
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t wrote = ::write(file.get(), text.data() + done, text.size() - done);
        const int error = wrote < 0 ? errno : EIO;
        if (wrote < 0 && error == EINTR) continue;
        if (wrote <= 0) return refused(error, path + "-new");
        done += static_cast<std::size_t>(wrote);
    }
    // The mode asked for at creation passes through the umask; the shared record is for all.
    if (place.shared && ::fchmod(file.get(), 0644) != 0) return refused(errno, path + "-new");
    if (const std::error_code error = platform::sync_to_disk(file.get()))
        return refused(error.value(), path + "-new");
    if (::renameat(folder.get(), fresh.c_str(), folder.get(), place.name) != 0)
        return refused(errno, path);
    if (const std::error_code error = platform::sync_to_disk(folder.get()))
        return refused(error.value(), path);
    return {};
}

Problem remove_record_at(const RecordPlace& place) {
    const auto [folder, folder_error] = record_folder(place, false);
    if (folder_error) {
        if (!not_there(folder_error)) return refused(folder_error.value(), path_of(place));
        return {};
    }
    if (::unlinkat(folder.get(), place.name, 0) != 0 && errno != ENOENT)
        return refused(errno, path_of(place));
    return {};
}

}  // namespace

RecordRead read_record(const std::string& home) {
    return read_record_at(home_place(home));
}

RecordRead read_shared_record(const std::string& system_root) {
    return read_record_at(shared_place(system_root));
}

Problem write_record(const std::string& home, const AppIdentities& identities, bool& written) {
    const auto [folder, folder_error] = record_folder(home_place(home), false);
    written = !not_there(folder_error) || path_exists(home);
    return written ? write_record_at(home_place(home), identities) : Problem{};
}

Problem write_shared_record(const std::string& system_root, const AppIdentities& identities) {
    return write_record_at(shared_place(system_root), identities);
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

Problem remove_record(const std::string& home) {
    return remove_record_at(home_place(home));
}

Problem remove_shared_record(const std::string& system_root) {
    return remove_record_at(shared_place(system_root));
}

}  // namespace brinvast
