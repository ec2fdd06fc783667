// SPDX-License-Identifier: MIT
#include "app_identities.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <set>

#include "code_signature.h"
#include "fs.h"
#include "info_plist.h"
#include "platform.h"
#include "unique_fd.h"

namespace brinvast {

namespace {

constexpr int DIRECTORY = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr std::size_t MAX_NAMES = 512;  // nested bundles, labels or groups of one app
constexpr std::size_t MAX_DEPTH = 3;    // a bundle in a bundle in a bundle
constexpr std::size_t MAX_RECORD = 64 * 1024;
constexpr std::string_view RECORD_HEADER = "brinvast-uninstall identities 1";
constexpr std::string_view RECORD_END = "end";

// Where a bundle keeps the bundles nested in it, below its Contents, and how their names end.
// LaunchServices holds privileged helper tools, plain executables named by their label.
struct NestedFolder {
    const char* folder;
    const char* extension;
};
constexpr std::array<NestedFolder, 7> NESTED{{
    {"Library/LoginItems", ".app"},
    {"Helpers", ".app"},
    {"PlugIns", ".appex"},
    {"Extensions", ".appex"},
    {"XPCServices", ".xpc"},
    {"Frameworks", ".app"},
    {"Library/LaunchServices", ""},
}};

bool is_letter_or_digit(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool is_apples(std::string_view name) {
    constexpr std::string_view APPLE = "com.apple";
    if (name.size() < APPLE.size()) return false;
    for (std::size_t i = 0; i < APPLE.size(); ++i) {
        if ((name[i] | 0x20) != APPLE[i] && name[i] != APPLE[i]) return false;
    }
    return name.size() == APPLE.size() || name[APPLE.size()] == '.';
}

void add_sorted(std::vector<std::string>& names, const std::string& name) {
    const auto at = std::ranges::lower_bound(names, name);
    if ((at == names.end() || *at != name) && names.size() < MAX_NAMES) names.insert(at, name);
}

// The labels of the launchd property lists in `folder` below the open bundle `bundle`.
void add_labels(int bundle, const char* folder, std::vector<std::string>& labels) {
    const unique_fd dir = open_listable(bundle, folder);
    std::vector<std::string> names;
    if (!dir.valid() || names_in(dir.get(), names) != 0) return;
    for (const std::string& name : names) {
        if (!name.ends_with(".plist")) continue;
        const PlistStrings job = read_plist_strings(dir.get(), name.c_str(), {"Label"});
        const auto label = job.values.find("Label");
        if (label != job.values.end()) add_sorted(labels, label->second);
    }
}

// What one bundle's Info.plist and signature say beyond its identifier.
void add_declared(int bundle, AppIdentities& found, bool with_signature,
                  std::vector<std::string>& problems) {
    const unique_fd contents(::openat(bundle, "Contents", DIRECTORY));
    if (!contents.valid()) return;
    const PlistLists lists =
        read_plist_lists(contents.get(), "Info.plist", {"SMPrivilegedExecutables"});
    if (const auto helpers = lists.values.find("SMPrivilegedExecutables");
        helpers != lists.values.end()) {
        for (const std::string& label : helpers->second)
            add_sorted(found.daemons, label);
    }
    add_labels(contents.get(), "Library/LaunchAgents", found.agents);
    add_labels(contents.get(), "Library/LaunchDaemons", found.daemons);
    if (!with_signature) return;
    const PlistStrings info =
        read_plist_strings(contents.get(), "Info.plist", {"CFBundleExecutable"});
    const auto executable = info.values.find("CFBundleExecutable");
    const unique_fd program_folder(::openat(contents.get(), "MacOS", DIRECTORY));
    if (executable == info.values.end() || !program_folder.valid()) return;
    const CodeSignature signature =
        read_code_signature(program_folder.get(), executable->second.c_str());
    if (!signature.problem.empty()) {
        problems.push_back(signature.problem);
        return;
    }
    if (found.team.empty()) found.team = signature.team;
    for (const std::string& group : signature.groups)
        add_sorted(found.groups, group);
}

// The identifiers of the bundles nested in the open bundle `top`, to a small depth.
void add_nested(unique_fd top, std::vector<std::string>& identifiers) {
    std::vector<std::pair<unique_fd, std::size_t>> bundles;
    bundles.emplace_back(std::move(top), 0);
    while (!bundles.empty()) {
        auto [bundle, depth] = std::move(bundles.back());
        bundles.pop_back();
        if (depth == MAX_DEPTH) continue;
        for (const NestedFolder& nested : NESTED) {
            const std::string folder = std::string("Contents/") + nested.folder;
            const unique_fd dir = open_listable(bundle.get(), folder.c_str());
            std::vector<std::string> names;
            if (!dir.valid() || names_in(dir.get(), names) != 0) continue;
            for (const std::string& name : names) {
                if (!name.ends_with(nested.extension) || identifiers.size() >= MAX_NAMES) continue;
                unique_fd inner(::openat(dir.get(), name.c_str(), DIRECTORY));
                if (!inner.valid()) {
                    // A helper tool: a file named by its label.
                    if (*nested.extension == '\0') add_sorted(identifiers, name);
                    continue;
                }
                const BundleIdentifier read = bundle_identifier_at(inner.get());
                if (read.identifier) add_sorted(identifiers, *read.identifier);
                bundles.emplace_back(std::move(inner), depth + 1);
            }
        }
    }
}

// Keeps the names that may name files of ours; one sentence for each refused.
void keep_usable(std::vector<std::string>& names, bool group, const char* what,
                 std::vector<std::string>& problems) {
    std::erase_if(names, [&](const std::string& name) {
        if (usable_name(name, group)) return false;
        problems.push_back(std::string(what) + " \"" + shown_name(name) + "\" is not ours to use");
        return true;
    });
}

}  // namespace

unique_fd open_listable(int dir_fd, const char* relative) {
    const unique_fd path(platform::open_folder_beneath(dir_fd, relative));
    if (!path.valid()) return unique_fd();
    return unique_fd(::openat(path.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

int names_in(int dir_fd, std::vector<std::string>& names) {
    auto buffer = std::make_unique<platform::ListingBuffer>();
    platform::DirectoryListing listing(dir_fd, *buffer);
    platform::DirectoryEntry entry;
    while (listing.next(entry))
        names.emplace_back(entry.name);
    std::ranges::sort(names);
    return listing.error().value();
}

bool usable_name(std::string_view name, bool group) {
    if (name.empty() || name.size() > 255 || !is_letter_or_digit(name.front())) return false;
    if (name.back() == '.' || name.find("..") != std::string_view::npos) return false;
    if (name.find('.') == std::string_view::npos || is_apples(name)) return false;
    return std::ranges::all_of(name, [group](char c) {
        return is_letter_or_digit(c) || c == '-' || c == '.' || (group && c == '_');
    });
}

IdentitiesRead read_identities(const std::string& bundle_path) {
    IdentitiesRead read;
    unique_fd bundle(::open(bundle_path.c_str(), DIRECTORY));
    const BundleIdentifier own =
        bundle.valid() ? bundle_identifier_at(bundle.get()) : bundle_identifier(bundle_path);
    if (!own.identifier) {
        read.problems.push_back(own.problem);
        return read;
    }
    if (!usable_name(*own.identifier)) {
        read.problems.push_back("CFBundleIdentifier \"" + *own.identifier +
                                "\" is not a reverse-DNS identifier of the app's own");
        return read;
    }
    AppIdentities& found = read.identities.emplace();
    found.identifier = *own.identifier;
    add_declared(bundle.get(), found, true, read.problems);
    add_nested(std::move(bundle), found.nested);
    std::erase(found.nested, found.identifier);
    keep_usable(found.nested, false, "A nested bundle's identifier", read.problems);
    keep_usable(found.groups, true, "The application group", read.problems);
    keep_usable(found.agents, false, "The launch agent label", read.problems);
    keep_usable(found.daemons, false, "The privileged helper label", read.problems);
    return read;
}

void merge_identities(AppIdentities& into, const AppIdentities& extra) {
    const auto merge = [](std::vector<std::string>& to, const std::vector<std::string>& from) {
        for (const std::string& name : from)
            add_sorted(to, name);
    };
    merge(into.nested, extra.nested);
    merge(into.groups, extra.groups);
    merge(into.agents, extra.agents);
    merge(into.daemons, extra.daemons);
    merge(into.receipts, extra.receipts);
    if (into.team.empty()) into.team = extra.team;
}

const std::string* OtherApps::claiming(std::string_view name) const {
    for (std::size_t end = name.size();;) {
        if (const auto found = identifiers.find(name.substr(0, end)); found != identifiers.end())
            return &found->second;
        end = name.rfind('.', end - 1);
        if (end == std::string_view::npos || end == 0) return nullptr;
    }
}

OtherApps other_installed_apps(const std::string& bundle_path, const std::string& home,
                               const std::string& identifier, bool with_groups) {
    std::string name;
    const std::string applications = parent_of(bundle_path, name);
    OtherApps others;
    const std::string own = real_path(bundle_path);
    for (const std::string& folder :
         {applications, applications + "/Utilities", home + "/Applications"}) {
        const unique_fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        std::vector<std::string> names;
        if (!dir.valid() || names_in(dir.get(), names) != 0) continue;
        for (const std::string& entry : names) {
            const std::string path = folder + "/" + entry;
            if (!name_ends_with(entry, ".app") || path == bundle_path || real_path(path) == own)
                continue;
            // Another app's claims may come through a link: following it only keeps more.
            unique_fd app(::openat(dir.get(), entry.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            const BundleIdentifier read =
                app.valid() ? bundle_identifier_at(app.get()) : BundleIdentifier{};
            if (!read.identifier) continue;
            if (same_name(*read.identifier, identifier)) others.same_identifier.push_back(path);
            AppIdentities claims;
            std::vector<std::string> ignored;
            add_declared(app.get(), claims, with_groups, ignored);
            add_nested(std::move(app), claims.nested);
            others.identifiers.emplace(*read.identifier, path);
            for (const std::string& nested : claims.nested)
                others.identifiers.emplace(nested, path);
            for (const auto* labels : {&claims.agents, &claims.daemons}) {
                for (const std::string& label : *labels)
                    others.labels.emplace(label, path);
            }
            for (const std::string& group : claims.groups)
                others.groups.emplace(group, path);
        }
    }
    return others;
}

// ---- the record

std::string record_text(const AppIdentities& identities) {
    std::string text = std::string(RECORD_HEADER) + "\nidentifier " + identities.identifier + "\n";
    if (!identities.team.empty()) text += "team " + identities.team + "\n";
    const std::pair<const char*, const std::vector<std::string>*> lists[] = {
        {"nested", &identities.nested},
        {"group", &identities.groups},
        {"agent", &identities.agents},
        {"daemon", &identities.daemons},
        {"receipt", &identities.receipts}};
    for (const auto& [key, names] : lists) {
        for (const std::string& name : *names)
            text += std::string(key) + " " + name + "\n";
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
    const std::pair<std::string_view, std::vector<std::string>*> lists[] = {
        {"nested", &found.nested},
        {"group", &found.groups},
        {"agent", &found.agents},
        {"daemon", &found.daemons},
        {"receipt", &found.receipts}};
    for (const auto& [list_key, names] : lists) {
        if (key != list_key) continue;
        const bool group = key == "group" || key == "receipt";
        if (!usable_name(value, group) || names->size() >= MAX_NAMES) return false;
        add_sorted(*names, name);
        return true;
    }
    return false;
}

}  // namespace

std::optional<AppIdentities> identities_in_record(std::string_view text, std::string& problem) {
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
    problem.clear();
    return found;
}

namespace {

// The record's folder below `home`, opened for reading and writing entries; invalid with
// `error` set (0 when it is simply not there).
unique_fd record_folder(const std::string& home, int& error, bool create) {
    const unique_fd top(platform::open_search_only(AT_FDCWD, home.c_str()));
    if (!top.valid()) {
        error = errno == ENOENT || errno == ENOTDIR ? 0 : errno;
        return unique_fd();
    }
    unique_fd folder = open_listable(top.get(), RECORD_FOLDER);
    if (!folder.valid() && errno == ENOENT && create) {
        (void)::mkdirat(top.get(), "Library", 0700);
        const unique_fd library(platform::open_folder_beneath(top.get(), "Library"));
        if (library.valid()) (void)::mkdirat(library.get(), "Application Support", 0755);
        folder = open_listable(top.get(), RECORD_FOLDER);
    }
    if (!folder.valid()) {
        error = errno;
        if (error == ENOENT || error == ENOTDIR) error = 0;
    }
    return folder;
}

std::string record_path(const std::string& home) {
    return home + "/" + RECORD_FOLDER + "/" + RECORD_NAME;
}

}  // namespace

RecordRead read_record(const std::string& home) {
    int error = 0;
    const unique_fd folder = record_folder(home, error, false);
    RecordRead read;
    if (!folder.valid()) {
        if (error != 0) read.problem = std::generic_category().message(error);
        return read;
    }
    const unique_fd file(
        ::openat(folder.get(), RECORD_NAME, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.valid()) {
        error = errno;
        if (error != ENOENT) read.problem = std::generic_category().message(error);
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
        read.problem = got < 0 ? std::generic_category().message(errno) : "it changed while read";
        return read;
    }
    read.identities = identities_in_record(text, read.problem);
    return read;
}

bool write_record(const std::string& home, const AppIdentities& identities) {
    int error = 0;
    const std::string path = record_path(home);
    const unique_fd folder = record_folder(home, error, true);
    if (!folder.valid() && error == 0 && !path_exists(home)) return false;
    if (!folder.valid()) throw fs_error(error == 0 ? ENOENT : error, path);
    const std::string fresh = std::string(RECORD_NAME) + "-new";
    (void)::unlinkat(folder.get(), fresh.c_str(), 0);
    const unique_fd file(::openat(folder.get(), fresh.c_str(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid()) throw fs_error(errno, path + "-new");
    const std::string text = record_text(identities);
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t wrote = ::write(file.get(), text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) throw fs_error(wrote < 0 ? errno : EIO, path + "-new");
        done += static_cast<std::size_t>(wrote);
    }
    if (!platform::sync_to_disk(file.get())) throw fs_error(errno, path + "-new");
    if (::renameat(folder.get(), fresh.c_str(), folder.get(), RECORD_NAME) != 0)
        throw fs_error(errno, path);
    if (!platform::sync_to_disk(folder.get())) throw fs_error(errno, path);
    return true;
}

void remove_record(const std::string& home) {
    int error = 0;
    const unique_fd folder = record_folder(home, error, false);
    if (!folder.valid()) {
        if (error != 0) throw fs_error(error, record_path(home));
        return;
    }
    if (::unlinkat(folder.get(), RECORD_NAME, 0) != 0 && errno != ENOENT)
        throw fs_error(errno, record_path(home));
}

}  // namespace brinvast
