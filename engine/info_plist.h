// SPDX-License-Identifier: MIT
#pragma once

// Complete removal deletes what macOS keeps under names made from the bundle identifier
// (~/Library/Preferences/<id>.plist, ~/Library/Caches/<id>, ~/Library/Containers/<id>), and
// tells a launch agent of Brinvast's by the Label and program in its property list; both come
// from files that whoever can write them controls. So the file is opened without following a
// link on the way, read whole up to 1 MiB, and parsed without recursion in the two formats
// Apple writes, XML (checked whole) and binary (bplist00: only the top dictionary's own
// references and a wanted array's or dictionary's own are followed, every offset checked, so no
// cycle holds the reader). Of a bundle identifier only a well-formed one comes out: ASCII
// letters, digits, "-" and "." between non-empty parts, at most 255 bytes, which no path built
// from it can be led out of its folder with.

#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "errors.h"

namespace brinvast {

// What reading the bundle identifier found.
struct BundleIdentifier {
    std::optional<std::string> identifier;  // well-formed, when there is one
    Problem problem;                        // otherwise why not
};

// The CFBundleIdentifier of the bundle at `bundle_path`, from its Contents/Info.plist.
[[nodiscard]] BundleIdentifier bundle_identifier(const std::string& bundle_path);

// The bundle identifier of the bundle whose directory is open as `bundle_fd`, from its
// Contents/Info.plist, following no link on the way.
[[nodiscard]] BundleIdentifier bundle_identifier_at(int bundle_fd);

// Whether `identifier` is well-formed, as above, and has at least two parts, as the reverse-DNS
// names that macOS keeps an app's data under do.
[[nodiscard]] bool is_reverse_dns(std::string_view identifier);

// The same from the contents of an Info.plist. A top-level key that appears twice is refused:
// parsers disagree on which one counts.
[[nodiscard]] BundleIdentifier bundle_identifier_in(std::string_view plist);

// The strings that some top-level keys of a property list's top dictionary hold.
struct PlistStrings {
    // Per key asked for: its string, or the first element of its array when that is a string
    // (launchd's ProgramArguments, whose first element is the program). A key that is missing
    // or holds anything else has no entry.
    std::map<std::string, std::string, std::less<>> values;
    // When the file is refused (malformed, unreadable, or a key asked for appears twice), one
    // sentence for the report, and `values` is empty.
    Problem problem;
};

// The strings that `keys` hold in the regular file `name` in the open folder `dir_fd`, opened
// without following a link, at most 1 MiB; problems call it by `name`, which must be a name, not
// a path.
[[nodiscard]] PlistStrings read_plist_strings(int dir_fd, const char* name,
                                              std::initializer_list<std::string_view> keys);

// The lists that some top-level keys of a property list's top dictionary hold: an entitlements
// file's com.apple.security.application-groups, an Info.plist's SMPrivilegedExecutables.
struct PlistLists {
    // Per key asked for: every string element of its array, or every key of its dictionary, in
    // the order the file holds them. A key that is missing, or holds anything else, has no entry.
    std::map<std::string, std::vector<std::string>, std::less<>> values;
    // When the file is refused (as for PlistStrings, or a list of more than 256 elements), one
    // sentence for the report, and `values` is empty.
    Problem problem;
};

// The lists that `keys` hold in the contents of a property list, which problems call `file`.
[[nodiscard]] PlistLists plist_lists_in(std::string_view plist,
                                        std::initializer_list<std::string_view> keys,
                                        std::string_view file);

// The same from the file `name` in the open folder `dir_fd`, read as read_plist_strings reads.
[[nodiscard]] PlistLists read_plist_lists(int dir_fd, const char* name,
                                          std::initializer_list<std::string_view> keys);

// A value read from a file as the report may print it: short, printable, unable to end its
// quotes.
[[nodiscard]] std::string shown_name(std::string_view value);

// Why the file `name` in the folder `dir` could not be opened, where the open failed with
// `error`, calling it `what`: a link there, nothing there (`absent`), or the error.
[[nodiscard]] Problem open_problem(int dir, const char* name, const std::string& what, int error,
                                   const std::string& absent);

}  // namespace brinvast
