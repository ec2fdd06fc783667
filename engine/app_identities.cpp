// SPDX-License-Identifier: MIT
// Gathering an app's identities: what its bundle and the bundles nested in it declare, and what
// the other installed apps claim.
#include "app_identities.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <memory>

#include "code_signature.h"
#include "fs.h"
#include "identity_names.h"
#include "info_plist.h"
#include "platform.h"
#include "unique_fd.h"

namespace brinvast {

namespace {

constexpr int DIRECTORY = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr std::size_t MAX_DEPTH = 3;  // a bundle in a bundle in a bundle

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

// The reverse-DNS part of a name: an application group's without its "group." or its team's
// prefix (ten letters or digits), as "group.com.apple.notes" and "<TEAM>.com.apple.x" name
// Apple's groups.
std::string_view reverse_dns_part(std::string_view name) {
    if (name_starts_with(name, "group.")) return name.substr(6);
    constexpr std::size_t TEAM_SIZE = 10;
    if (name.size() > TEAM_SIZE && name[TEAM_SIZE] == '.' &&
        std::all_of(name.begin(), name.begin() + TEAM_SIZE, is_letter_or_digit)) {
        return name.substr(TEAM_SIZE + 1);
    }
    return name;
}

bool is_apples(std::string_view name) {
    const std::string_view part = reverse_dns_part(name);
    return same_name(part, "com.apple") || name_starts_with(part, "com.apple.");
}

// The labels of the launchd property lists in `folder` below the open bundle `bundle`.
void add_labels(int bundle, const char* folder, std::vector<std::string>& labels) {
    const auto [dir, error] = open_listable(bundle, folder);
    std::vector<std::string> names;
    if (error || names_in(dir.get(), names)) return;
    for (const std::string& name : names) {
        if (!name.ends_with(".plist")) continue;
        const PlistStrings job = read_plist_strings(dir.get(), name.c_str(), {"Label"});
        const auto label = job.values.find("Label");
        if (label != job.values.end()) add_sorted(labels, label->second);
    }
}

// The login items in Contents/Library/LoginItems of the open `contents`: launchd knows each one
// (SMAppService) by its bundle identifier, in the user's domain.
void add_login_items(int contents, std::vector<std::string>& labels) {
    const auto [dir, error] = open_listable(contents, "Library/LoginItems");
    std::vector<std::string> names;
    if (error || names_in(dir.get(), names)) return;
    for (const std::string& name : names) {
        const unique_fd item(::openat(dir.get(), name.c_str(), DIRECTORY));
        if (!name_ends_with(name, ".app") || !item.valid()) continue;
        const BundleIdentifier read = bundle_identifier_at(item.get());
        if (read.identifier) add_sorted(labels, *read.identifier);
    }
}

// What one bundle's Info.plist and signature say beyond its identifier.
void add_declared(int bundle, AppIdentities& found, bool with_signature,
                  std::vector<Problem>& problems) {
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
    add_login_items(contents.get(), found.agents);
    if (!with_signature) return;
    const PlistStrings info =
        read_plist_strings(contents.get(), "Info.plist", {"CFBundleExecutable"});
    const auto executable = info.values.find("CFBundleExecutable");
    const unique_fd program_folder(::openat(contents.get(), "MacOS", DIRECTORY));
    if (executable == info.values.end() || !program_folder.valid()) return;
    const CodeSignature signature =
        read_code_signature(program_folder.get(), executable->second.c_str());
    if (signature.problem) {
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
            const auto [dir, error] = open_listable(bundle.get(), folder.c_str());
            std::vector<std::string> names;
            if (error || names_in(dir.get(), names)) continue;
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
                 std::vector<Problem>& problems) {
    std::erase_if(names, [&](const std::string& name) {
        if (usable_name(name, group)) return false;
        problems.push_back(std::string(what) + " \"" + shown_name(name) + "\" is not ours to use");
        return true;
    });
}

}  // namespace

bool is_letter_or_digit(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

void add_sorted(std::vector<std::string>& names, const std::string& name) {
    const auto at = std::ranges::lower_bound(names, name);
    if ((at == names.end() || *at != name) && names.size() < MAX_NAMES) names.insert(at, name);
}

Result<unique_fd> open_listable(int dir_fd, const char* relative) {
    const Result<unique_fd> path = platform::open_folder_beneath(dir_fd, relative);
    if (path.error) return {{}, path.error};
    unique_fd listable(::openat(path.value.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listable.valid()) return {{}, last_error()};
    return {std::move(listable), {}};
}

std::error_code names_in(int dir_fd, std::vector<std::string>& names) {
    auto buffer = std::make_unique<platform::ListingBuffer>();
    platform::DirectoryListing listing(dir_fd, *buffer);
    platform::DirectoryEntry entry;
    while (listing.next(entry))
        names.emplace_back(entry.name);
    std::ranges::sort(names);
    return listing.error();
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
        const std::error_code& error = own.problem.error;
        read.unreadable = error && error != std::errc::no_such_file_or_directory &&
                          error != std::errc::not_a_directory;
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
    for (const IdentityList& list : IDENTITY_LISTS) {
        for (const std::string& name : extra.*list.names)
            add_sorted(into.*list.names, name);
    }
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

namespace {

// Whether `error` says only that nothing is there, or that it is no folder.
bool nothing_there(const std::error_code& error) {
    return error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory;
}

// What the other app `entry` in the open folder `dir` claims, added to `others` under `path`.
void add_claims(int dir, const std::string& entry, const std::string& path,
                const std::string& identifier, bool with_groups, OtherApps& others) {
    // Another app's claims may come through a link: following it only keeps more.
    unique_fd app(::openat(dir, entry.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!app.valid()) {
        const std::error_code error = last_error();
        if (!nothing_there(error)) others.unreadable.push_back(path + ": " + error.message());
        return;
    }
    const BundleIdentifier read = bundle_identifier_at(app.get());
    if (!read.identifier) {
        if (read.problem.error && !nothing_there(read.problem.error))
            others.unreadable.push_back(path + ": " + read.problem.text);
        return;
    }
    if (same_name(*read.identifier, identifier)) others.same_identifier.push_back(path);
    AppIdentities claims;
    std::vector<Problem> ignored;
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

}  // namespace

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
        const std::error_code error = dir.valid() ? names_in(dir.get(), names) : last_error();
        if (error) {
            if (!nothing_there(error)) others.unreadable.push_back(folder + ": " + error.message());
            continue;
        }
        for (const std::string& entry : names) {
            const std::string path = folder + "/" + entry;
            if (!name_ends_with(entry, ".app") || path == bundle_path || real_path(path) == own)
                continue;
            add_claims(dir.get(), entry, path, identifier, with_groups, others);
        }
    }
    return others;
}

}  // namespace brinvast
