#pragma once

#include <optional>
#include <string>

namespace brinvast {

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

// What the locations are computed from. `home_variable` is HOME (empty but set is not unset);
// `user_database_home` is the user database's home, consulted only when HOME is unset;
// `executable` is the program's path, resolved here to its real path.
struct LocationSources {
    std::optional<std::string> home_variable;
    std::optional<std::string> user_database_home;
    std::string executable;
};

// Replaces the leading "~" of `path` with `home` less its trailing slashes; without a home the
// path stays as written.
[[nodiscard]] std::string expand_home(const std::string& path,
                                      const std::optional<std::string>& home);

[[nodiscard]] Locations compute_locations(const LocationSources& sources);

// The sources of the running process: HOME, the user database, the executable.
[[nodiscard]] LocationSources process_location_sources();

// The process's locations, computed on the first call and fixed from then on. The program
// calls it first thing, so that later changes of HOME have no effect.
[[nodiscard]] const Locations& program_locations();

}  // namespace brinvast
