// SPDX-License-Identifier: MIT
#include "locations.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <utility>

#include "fs.h"
#include "platform.h"

namespace brinvast {

namespace {

std::string join(std::string base, const std::initializer_list<const char*> components) {
    for (const char* component : components)
        base.append("/").append(component);
    return base;
}

// Where the documents folder lies in the home; home_directory() takes it off again.
const std::string DOCUMENTS_FOLDER = "/Documents/Brinvast";

// The folder that holds `path`.
std::string directory_of(const std::string& path) {
    std::string name;
    return parent_of(path, name);
}

// A usable HOME is the home the user meant: when it is not there, the user database's would be
// the wrong one, so nothing is looked at. Without HOME, the user database's home must be there.
void refuse_home_not_there(const LocationSources& sources) {
    const bool from_variable = usable_home(sources.home_variable);
    const std::optional<std::string>& home =
        from_variable ? sources.home_variable : sources.user_database_home;
    if (!usable_home(home)) return;
    if (const std::optional<std::string> fault = home_fault(*home)) {
        throw NoHomeDirectory(std::string(from_variable ? "HOME" : "The user database") +
                              " names no usable home directory: " + *fault);
    }
}

}  // namespace

NoHomeDirectory::NoHomeDirectory()
    : std::runtime_error(
          "No home directory: HOME is unset, empty, relative or \"/\", and the user database "
          "has no other home for this user") {}

NoHomeDirectory::NoHomeDirectory(const std::string& reason) : std::runtime_error(reason) {}

bool usable_home(const std::optional<std::string>& home) {
    if (!home || !home->starts_with('/')) return false;
    // Resolved where it exists; spelt out where it does not, as the kernel would resolve it.
    const std::string resolved = std::filesystem::path(real_path(*home)).lexically_normal();
    return resolved.find_first_not_of('/') != std::string::npos;
}

std::optional<std::string> home_fault(const std::string& home) {
    if (!usable_home(home)) return '"' + home + '"';
    struct stat info {};
    if (::stat(home.c_str(), &info) != 0) {
        const int error = errno;
        return std::strerror(error) + (": " + home);
    }
    if (!S_ISDIR(info.st_mode)) return std::strerror(ENOTDIR) + (": " + home);
    return std::nullopt;
}

bool kept_in_icloud(const std::string& path, const std::string& home) {
    const std::string drive = real_path(home) + "/Library/Mobile Documents/";
    return real_path(path).starts_with(drive) || platform::kept_by_file_provider(path) ||
           platform::kept_by_file_provider(directory_of(path));
}

std::vector<std::string> product_folders_in_icloud(const Locations& where) {
    const std::string home = home_directory(where);
    std::vector<std::string> kept;
    for (const std::string* folder :
         {&where.BRINVAST_APP_SUPPORT, &where.BRINVAST_DOCUMENTS, &where.BRINVAST_LOGS_FALLBACK}) {
        if (path_exists(*folder) && kept_in_icloud(*folder, home)) kept.push_back(*folder);
    }
    return kept;
}

std::string home_directory(const Locations& where) {
    const std::string& documents = where.BRINVAST_DOCUMENTS;
    if (!documents.ends_with(DOCUMENTS_FOLDER)) return {};
    return documents.substr(0, documents.size() - DOCUMENTS_FOLDER.size());
}

std::string expand_home(const std::string& path, const std::string& home) {
    if (path.empty() || path[0] != '~') return path;
    std::string expanded = home;
    while (!expanded.empty() && expanded.back() == '/')
        expanded.pop_back();
    return expanded.append(path, 1);
}

ArtworkPaths artwork_paths(const std::string& script_dir, bool bundle_resources) {
    constexpr std::string_view BUNDLE_CODE = ".app/Contents/MacOS";
    if (bundle_resources && script_dir.ends_with(BUNDLE_CODE)) {
        const std::string resources = directory_of(script_dir) + "/Resources";
        return {join(resources, {"Thalvoric-Icon-Light.icns"}),
                join(resources, {"Brinvast-KL-Solo-LGT.svg"})};
    }
    return {join(script_dir, {"assets", "graphics", "icons", "Thalvoric-Icon-Light.icns"}),
            join(script_dir, {"assets", "graphics", "svg", "Brinvast-KL-Solo-LGT.svg"})};
}

Locations compute_locations(const LocationSources& sources) {
    const auto& home =
        usable_home(sources.home_variable) ? sources.home_variable : sources.user_database_home;
    if (!usable_home(home)) throw NoHomeDirectory();
    Locations where;
    where.BRINVAST_APP_PATH = "/Applications/Brinvast.app";
    where.BRINVAST_APP_SUPPORT = expand_home("~/Library/Application Support/Brinvast", *home);
    where.BRINVAST_DOCUMENTS = expand_home("~" + DOCUMENTS_FOLDER, *home);
    where.BRINVAST_LOGS_FALLBACK = expand_home("~/Library/Logs/Brinvast", *home);
    where.BRINVAST_DATABASE_PATH = join(where.BRINVAST_APP_SUPPORT, {"Database", "Brinvast.db"});
    where.BRINVAST_BACKUP_DATABASE_PATH =
        join(where.BRINVAST_APP_SUPPORT, {"Database", "Brinvast_Previous.db"});
    where.SCRIPT_DIR = directory_of(real_path(sources.executable));
    ArtworkPaths artwork = artwork_paths(where.SCRIPT_DIR, platform::artwork_in_bundle_resources());
    where.ICON_PATH = std::move(artwork.icon);
    where.LOGO_PATH = std::move(artwork.logo);
    return where;
}

LocationSources process_location_sources() {
    LocationSources sources;
    if (const char* home = std::getenv("HOME")) sources.home_variable = home;
    const passwd* entry = usable_home(sources.home_variable) ? nullptr : ::getpwuid(::getuid());
    if (entry && entry->pw_dir) sources.user_database_home = entry->pw_dir;
    sources.executable = platform::executable_path();
    return sources;
}

const Locations& program_locations() {
    static const Locations locations = [] {
        const LocationSources sources = process_location_sources();
        refuse_home_not_there(sources);
        return compute_locations(sources);
    }();
    return locations;
}

}  // namespace brinvast
