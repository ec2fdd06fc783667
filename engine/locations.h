// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace brinvast {

// Neither HOME nor the user database gives a usable home directory, or HOME names one that is
// not there.
class NoHomeDirectory : public std::runtime_error {
public:
    NoHomeDirectory();
    explicit NoHomeDirectory(const std::string& reason);
};

// The nine fixed locations of the program, in the order in which they are computed.
struct Locations {
    std::string BRINVAST_APP_PATH;
    std::string BRINVAST_APP_SUPPORT;
    std::string BRINVAST_DOCUMENTS;
    std::string BRINVAST_LOGS_FALLBACK;
    std::string BRINVAST_DATABASE_PATH;
    std::string BRINVAST_BACKUP_DATABASE_PATH;
    std::string SCRIPT_DIR;
    std::string ICON_PATH;
    std::string LOGO_PATH;
};

// What the locations are computed from. `home_variable` is HOME; `user_database_home` is the
// user database's home, consulted when HOME is unset or unusable; `executable` is the
// program's path, resolved here to its real path.
struct LocationSources {
    std::optional<std::string> home_variable;
    std::optional<std::string> user_database_home;
    std::string executable;
};

// A home that can stand for "~": an absolute path that does not resolve to "/". Anything else
// (empty, relative, "/" however spelt: "//", "/.", "/tmp/..") would put the product's folders
// where they are not.
[[nodiscard]] bool usable_home(const std::optional<std::string>& home);

// Why `home` cannot stand for "~", or nothing when it can: it must be usable, and a directory
// that is there. A home that is not there may be on a volume that is not mounted yet: its
// product folders would only look absent.
[[nodiscard]] std::optional<std::string> home_fault(const std::string& home);

// Replaces the leading "~" of `path` with `home` less its trailing slashes.
[[nodiscard]] std::string expand_home(const std::string& path, const std::string& home);

// The home directory that `where` was computed from.
[[nodiscard]] std::string home_directory(const Locations& where);

// Whether the folder `path` is kept in iCloud Drive, as Desktop & Documents in iCloud keeps
// ~/Documents: it lies, resolved, in the home's Library/Mobile Documents, or a file provider
// keeps it or the folder that holds it. Deleting it there deletes it in iCloud too, and on every
// Mac signed in to the account.
[[nodiscard]] bool kept_in_icloud(const std::string& path, const std::string& home);

// The product folders of `where` that are there and kept in iCloud Drive.
[[nodiscard]] std::vector<std::string> product_folders_in_icloud(const Locations& where);

// Where the icon and the logo lie for an executable in `script_dir`.
struct ArtworkPaths {
    std::string icon;
    std::string logo;
};

// Beside the executable, under assets/graphics/; but with `bundle_resources`, an executable in a
// bundle (X.app/Contents/MacOS) finds them in X.app/Contents/Resources.
[[nodiscard]] ArtworkPaths artwork_paths(const std::string& script_dir, bool bundle_resources);

// The home is HOME when it is usable, otherwise the user database's. Throws NoHomeDirectory
// when neither is usable: nothing may then be looked at, let alone removed.
[[nodiscard]] Locations compute_locations(const LocationSources& sources);

// The sources of the running process: HOME, the user database, the executable.
[[nodiscard]] LocationSources process_location_sources();

// The process's locations, computed on the first call and fixed from then on. The program
// calls it first thing, so that later changes of HOME have no effect, and refuses to start
// when it throws NoHomeDirectory: also when HOME is set to a home that is not there or is no
// folder, for the user meant that home and no other.
[[nodiscard]] const Locations& program_locations();

}  // namespace brinvast
