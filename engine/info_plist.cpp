// SPDX-License-Identifier: MIT
#include "info_plist.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "plist_values.h"
#include "unique_fd.h"

namespace brinvast {

namespace {

using plist::Fault;
using plist::Found;
using plist::Lookup;
using plist::lookup_binary;
using plist::lookup_xml;
using plist::Take;
using plist::Wanted;

constexpr std::size_t MAX_PLIST_SIZE = 1 << 20;
constexpr std::size_t MAX_IDENTIFIER_SIZE = 255;
constexpr std::size_t MAX_SHOWN = 64;
constexpr std::string_view BUNDLE_KEY = "CFBundleIdentifier";
constexpr char INFO_PLIST[] = "Info.plist";
constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

[[nodiscard]] std::string fault_text(Fault fault, std::string_view file) {
    const std::string name(file);
    switch (fault) {
        case Fault::too_deep:
            return name + " is nested deeper than 64 levels";
        case Fault::no_dictionary:
            return name + " does not hold a dictionary";
        case Fault::too_long:
            return name + " holds a list of more than 256 elements";
        case Fault::none:
        case Fault::not_a_plist:
            break;
    }
    return name + " is not an XML or binary property list";
}

[[nodiscard]] bool is_well_formed(std::string_view identifier) {
    if (identifier.empty() || identifier.size() > MAX_IDENTIFIER_SIZE) return false;
    if (identifier.front() == '.' || identifier.back() == '.') return false;
    if (identifier.find("..") != std::string_view::npos) return false;
    for (const char c : identifier) {
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!letter && !(c >= '0' && c <= '9') && c != '-' && c != '.') return false;
    }
    return true;
}

[[nodiscard]] Lookup lookup(std::string_view plist, const Wanted& wanted) {
    if (plist.starts_with("bplist")) return lookup_binary(plist, wanted);
    return lookup_xml(plist, wanted);
}

// An Info.plist's CFBundleIdentifier, its only wanted key.
[[nodiscard]] BundleIdentifier judged(const Lookup& lookup) {
    const std::string key(BUNDLE_KEY);
    if (lookup.fault != Fault::none) return {std::nullopt, fault_text(lookup.fault, INFO_PLIST)};
    const Found& found = lookup.found.front();
    if (found.times == 0) return {std::nullopt, key + " is missing"};
    if (found.times > 1) return {std::nullopt, key + " appears more than once"};
    if (!found.text) return {std::nullopt, key + " is not a string"};
    if (!is_well_formed(*found.text))
        return {std::nullopt,
                key + " \"" + shown_name(*found.text) + "\" is not a valid bundle identifier"};
    return {found.text, {}};
}

// What `keys` hold in `plist`, as `take` reads them into `member`, or why `file` is refused.
template <typename Result, typename Value>
[[nodiscard]] Result collected(std::string_view plist, std::initializer_list<std::string_view> keys,
                               Take take, std::optional<Value> Found::*member,
                               std::string_view file) {
    const Wanted wanted{{keys.begin(), keys.size()}, take};
    const Lookup found = lookup(plist, wanted);
    if (found.fault != Fault::none) return {{}, fault_text(found.fault, file)};
    Result result;
    for (std::size_t i = 0; i < wanted.keys.size(); ++i) {
        const std::string key(wanted.keys[i]);
        if (found.found[i].times > 1)
            return {{}, key + " appears more than once in " + std::string(file)};
        if (found.found[i].*member) result.values.emplace(key, *(found.found[i].*member));
    }
    return result;
}

// The contents of the regular file `fd`, which problems call `what`, or an empty optional and
// the reason.
[[nodiscard]] std::optional<std::string> read_limited(int fd, const std::string& what,
                                                      Problem& problem) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        problem = what + " is not a regular file";
        return std::nullopt;
    }
    std::string contents;
    contents.reserve(
        std::min<std::size_t>(static_cast<std::size_t>(status.st_size), MAX_PLIST_SIZE + 1));
    char chunk[16384];
    // The size is checked as read, not as fstat said: the file may grow meanwhile.
    while (contents.size() <= MAX_PLIST_SIZE) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        const int error = errno;
        if (got == 0) return contents;
        if (got < 0 && error == EINTR) continue;
        if (got < 0) {
            const std::error_code code(error, std::generic_category());
            problem = {what + " cannot be read: " + code.message(), code};
            return std::nullopt;
        }
        contents.append(chunk, static_cast<std::size_t>(got));
    }
    problem = what + " is larger than 1 MiB";
    return std::nullopt;
}

// The contents of the regular file `name` in `dir`, opened without following a link, or an
// empty optional and the reason.
[[nodiscard]] std::optional<std::string> read_named(int dir, const char* name, Problem& problem) {
    // O_NONBLOCK: a FIFO planted there must not hold the open.
    const unique_fd file(::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!file.valid()) {
        const int error = errno;
        problem = open_problem(dir, name, name, error, std::string("no ") + name);
        return std::nullopt;
    }
    return read_limited(file.get(), name, problem);
}

// What `keys` hold in the file `name` in `dir`, as collected() reads them.
template <typename Result, typename Value>
[[nodiscard]] Result read_collected(int dir, const char* name,
                                    std::initializer_list<std::string_view> keys, Take take,
                                    std::optional<Value> Found::*member) {
    // A path could lead through a link before the last name.
    if (std::strchr(name, '/') != nullptr) return {{}, std::string(name) + " is not a file name"};
    Problem problem;
    const auto text = read_named(dir, name, problem);
    if (!text) return {{}, problem};
    return collected<Result>(*text, keys, take, member, name);
}

}  // namespace

bool is_reverse_dns(std::string_view identifier) {
    // A well-formed identifier has no empty part, so one dot makes two parts.
    return is_well_formed(identifier) && identifier.find('.') != std::string_view::npos;
}

std::string shown_name(std::string_view value) {
    std::string text;
    for (const char c : value.substr(0, MAX_SHOWN))
        text += c >= ' ' && c <= '~' && c != '"' ? c : '?';
    return value.size() > MAX_SHOWN ? text + "..." : text;
}

Problem open_problem(int dir, const char* name, const std::string& what, int error,
                     const std::string& absent) {
    const std::error_code code(error, std::generic_category());
    struct stat status {};
    if (::fstatat(dir, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode))
        return what + " is a symbolic link";
    if (error == ENOENT || error == ENOTDIR) return {absent, code};
    return {what + " cannot be read: " + code.message(), code};
}

BundleIdentifier bundle_identifier_in(std::string_view plist) {
    const std::string_view keys[] = {BUNDLE_KEY};
    return judged(lookup(plist, {keys, Take::string}));
}

BundleIdentifier bundle_identifier_at(int bundle_fd) {
    const unique_fd contents(::openat(bundle_fd, "Contents", DIRECTORY_FLAGS));
    if (!contents.valid()) {
        const int error = errno;
        return {std::nullopt,
                open_problem(bundle_fd, "Contents", "Contents", error, "no Info.plist")};
    }
    Problem problem;
    const auto text = read_named(contents.get(), INFO_PLIST, problem);
    if (!text) return {std::nullopt, problem};
    return bundle_identifier_in(*text);
}

BundleIdentifier bundle_identifier(const std::string& bundle_path) {
    const unique_fd bundle(::open(bundle_path.c_str(), DIRECTORY_FLAGS));
    if (!bundle.valid()) {
        const int error = errno;
        return {std::nullopt,
                open_problem(AT_FDCWD, bundle_path.c_str(), "the bundle", error, "no bundle")};
    }
    return bundle_identifier_at(bundle.get());
}

PlistStrings read_plist_strings(int dir_fd, const char* name,
                                std::initializer_list<std::string_view> keys) {
    return read_collected<PlistStrings>(dir_fd, name, keys, Take::first_of_array, &Found::text);
}

PlistLists plist_lists_in(std::string_view plist, std::initializer_list<std::string_view> keys,
                          std::string_view file) {
    return collected<PlistLists>(plist, keys, Take::list, &Found::list, file);
}

PlistLists read_plist_lists(int dir_fd, const char* name,
                            std::initializer_list<std::string_view> keys) {
    return read_collected<PlistLists>(dir_fd, name, keys, Take::list, &Found::list);
}

}  // namespace brinvast
