// SPDX-License-Identifier: MIT
#pragma once

// The names under which macOS keeps an app's files, and whoever can write a bundle controls
// them: a helper that declares another app's identifier would hand that app's preferences to
// our removal. So only what the bundle itself declares counts, each name is accepted only in
// reverse-DNS form and outside Apple's own, and a name that another installed app claims too is
// never ours. The names die with the bundle, so a run writes them down before step 1 deletes it.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "errors.h"
#include "identity_names.h"
#include "names.h"
#include "unique_fd.h"

namespace brinvast {

// What reading a bundle found: its identities, when its own identifier is usable, and one
// sentence per part that was refused. `unreadable` when the system kept its Info.plist from being
// read (not when there is none, nor when it is malformed): then nothing can be told of its names.
struct IdentitiesRead {
    std::optional<AppIdentities> identities;
    std::vector<Problem> problems;
    bool unreadable = false;
};

// The identities that the bundle at `bundle_path` declares, receipts aside. Nothing is followed
// through a link, and every count and size is bounded.
[[nodiscard]] IdentitiesRead read_identities(const std::string& bundle_path);

// Whether `name` may name an app's files: a reverse-DNS name of at least two parts, made of
// letters, digits, "-" and "." (and "_" for `group`), that is not Apple's.
[[nodiscard]] bool usable_name(std::string_view name, bool group = false);

// The folder `relative` below the open folder `dir_fd`, reached without following a link on the
// way, opened for listing, or the error that kept it from being opened.
[[nodiscard]] Result<unique_fd> open_listable(int dir_fd, const char* relative);

// The names in the open folder `dir_fd`, sorted, into `names`; the error that broke the listing
// off, if one did.
[[nodiscard]] std::error_code names_in(int dir_fd, std::vector<std::string>& names);

// `extra`'s names added to `into`'s, each list kept sorted and without repeats.
void merge_identities(AppIdentities& into, const AppIdentities& extra);

// Who else claims a name: the bundle at the first level of /Applications,
// /Applications/Utilities or ~/Applications whose identifiers (its own and its nested
// bundles'), launchd labels or application groups it is.
struct OtherApps {
    std::map<std::string, std::string, NameLess> identifiers;
    std::map<std::string, std::string, NameLess> labels;
    std::map<std::string, std::string, NameLess> groups;
    std::vector<std::string> same_identifier;  // bundles with the very identifier of ours
    // "path: reason" for each app, or folder of apps, that could not be read: what it claims
    // cannot be told.
    std::vector<std::string> unreadable;

    // The app that claims `name` or a name above it in its name space, or nothing.
    [[nodiscard]] const std::string* claiming(std::string_view name) const;
};

// The other apps installed beside `bundle_path` and in `home`/Applications; `bundle_path`
// itself is not one of them. Their signatures are read only `with_groups`.
[[nodiscard]] OtherApps other_installed_apps(const std::string& bundle_path,
                                             const std::string& home, const std::string& identifier,
                                             bool with_groups);

// The record that keeps the identities for the runs after the bundle is gone: a small text file
// of our own. Refused whole (with one sentence) when anything in it is not as we write it.
[[nodiscard]] std::string record_text(const AppIdentities& identities);
[[nodiscard]] std::optional<AppIdentities> identities_in_record(std::string_view text,
                                                                Problem& problem);

// Where the record lies below the home, and its name there.
inline constexpr const char* RECORD_FOLDER = "Library/Application Support";
inline constexpr const char* RECORD_NAME = ".brinvast-uninstall-identities";

// What reading the record found: nothing, the identities, or why it was refused.
struct RecordRead {
    std::optional<AppIdentities> identities;
    Problem problem;
};

// The record in `home`, read without following a link on the way; only a regular file that
// the reader's user (or root) owns and nobody else may write counts.
[[nodiscard]] RecordRead read_record(const std::string& home);

// Writes the record durably: written beside, synced, renamed into place, its folder synced.
// `written` is false when there is no home to write it in, and so nothing there to find later.
// Why it could not be written, naming the file.
[[nodiscard]] Problem write_record(const std::string& home, const AppIdentities& identities,
                                   bool& written);

// Why write_record would be refused in `home` as things stand (its folder, or the nearest folder
// above it that it would be made in, may not be written), without changing anything; nothing when
// it would not.
[[nodiscard]] Problem record_refused_at(const std::string& home);

// Removes the record, when it is there; why it could not be removed.
[[nodiscard]] Problem remove_record(const std::string& home);

// Where root keeps the identities it may trust for every user of the Mac once the shared bundle
// is gone, below the system's root, and the record's name there.
inline constexpr const char* SHARED_RECORD_FOLDER =
    "Library/Application Support/Brinvast Uninstaller";
inline constexpr const char* SHARED_RECORD_NAME = "identities";

// The shared record below `system_root`, read as read_record reads; only a regular file of
// root's that nobody else may write, in folders that only root and the administrators may change,
// counts.
[[nodiscard]] RecordRead read_shared_record(const std::string& system_root);

// Writes the shared record as write_record writes, readable by everyone; why it could not be.
[[nodiscard]] Problem write_shared_record(const std::string& system_root,
                                          const AppIdentities& identities);

// Removes the shared record, when it is there; why it could not be removed.
[[nodiscard]] Problem remove_shared_record(const std::string& system_root);

}  // namespace brinvast
