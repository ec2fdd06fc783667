// SPDX-License-Identifier: MIT
// The traces in the app's name spaces: each place surveyed by exact names and the names below the
// app's identifier, and a trace removed or looked for again from its place.
#include "app_traces.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <set>
#include <string_view>

#include "fs.h"
#include "names.h"
#include "trace_base.h"
#include "unique_fd.h"

namespace brinvast {

namespace {

using Kind = AppTrace::Kind;

// Which names of a place are the app's, made from an identity <id>.
enum class Naming {
    exact,      // <id><suffix> for every identifier, and <id>.<more><suffix> for the app's own
    with_part,  // <id>.<part><suffix> only, as ByHost adds the hardware's identifier
    group,      // <group><suffix>, for each application group
};

struct Place {
    const char* folder;  // below the home
    const char* suffix;
    Naming naming;
    Kind kind;
};

constexpr const char* RECENT_DOCUMENTS =
    "Library/Application Support/com.apple.sharedfilelist/"
    "com.apple.LSSharedFileList.ApplicationRecentDocuments";

constexpr std::array<Place, 24> PLACES{{
    {"Library/Preferences", ".plist", Naming::exact, Kind::preferences},
    {"Library/Preferences/ByHost", ".plist", Naming::with_part, Kind::host_preferences},
    {"Library/Caches", "", Naming::exact, Kind::data},
    {"Library/HTTPStorages", "", Naming::exact, Kind::data},
    {"Library/HTTPStorages", ".binarycookies", Naming::exact, Kind::data},
    {"Library/WebKit", "", Naming::exact, Kind::data},
    {"Library/Cookies", ".binarycookies", Naming::exact, Kind::data},
    {"Library/Saved Application State", ".savedState", Naming::exact, Kind::data},
    {"Library/Containers", "", Naming::exact, Kind::container},
    {"Library/Application Scripts", "", Naming::exact, Kind::data},
    {"Library/LaunchAgents", ".plist", Naming::exact, Kind::launch_agent},
    {"Library/Application Support", "", Naming::exact, Kind::data},
    {"Library/Logs", "", Naming::exact, Kind::data},
    {"Library/SyncedPreferences", ".plist", Naming::exact, Kind::data},
    {"Library/Autosave Information", ".plist", Naming::exact, Kind::data},
    {"Library/Caches/com.apple.nsurlsessiond/Downloads", "", Naming::exact, Kind::data},
    {"Library/Caches/com.plausiblelabs.crashreporter.data", "", Naming::exact, Kind::data},
    {"Library/Caches/com.crashlytics.data", "", Naming::exact, Kind::data},
    {"Library/Caches/io.fabric.sdk.mac.data", "", Naming::exact, Kind::data},
    {RECENT_DOCUMENTS, ".sfl", Naming::exact, Kind::data},
    {RECENT_DOCUMENTS, ".sfl2", Naming::exact, Kind::data},
    {RECENT_DOCUMENTS, ".sfl3", Naming::exact, Kind::data},
    {RECENT_DOCUMENTS, ".sfl4", Naming::exact, Kind::data},
    {"Library/Group Containers", "", Naming::group, Kind::container},
}};

// "Not there": nothing stands at the name, or a file stands where a folder was.
bool not_there(int error) {
    return error == ENOENT || error == ENOTDIR;
}

// Adds `line` to `lines` unless it stands there already: places share folders.
void add_once(std::vector<std::string>& lines, std::string line) {
    if (std::ranges::find(lines, line) == lines.end()) lines.push_back(std::move(line));
}

std::string reason_of(int error) {
    if (error == ELOOP) return "a symbolic link on the way, which is not followed";
    return std::generic_category().message(error);
}

// The open place `folder` below `base_fd`, and where the survey keeps what it finds there.
class PlaceSurvey {
public:
    PlaceSurvey(int base_fd, const std::string& base, const Place& place, TraceSurvey& survey,
                std::set<std::string>& seen)
        : base_(base),
          place_(place),
          survey_(survey),
          seen_(seen),
          folder_(platform::open_folder_beneath(base_fd, place.folder)) {
        const std::error_code& error = folder_.error;
        if (error && !not_there(error.value()))
            add_once(survey_.unexamined, path_of("") + ": " + reason_of(error.value()));
    }

    [[nodiscard]] bool open() const { return !folder_.error; }

    // The trace `name`, kept for `owner`, when it stands there.
    void look_up(const std::string& name, const std::string& owner) {
        if (!seen_.insert(std::string(place_.folder) + "/" + name).second) return;
        struct stat status {};
        if (::fstatat(folder_.value.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            const int error = errno;
            if (!not_there(error))
                survey_.unexamined.push_back(path_of(name) + ": " + reason_of(error));
            return;
        }
        AppTrace trace{path_of(name),           place_.folder,          name, owner, place_.kind,
                       S_ISDIR(status.st_mode), S_ISLNK(status.st_mode)};
        measure(trace, status);
        survey_.traces.push_back(std::move(trace));
    }

    // Every name of the place; nothing, and not `listed`, when it cannot be listed.
    [[nodiscard]] std::vector<std::string> names(bool& listed) {
        std::vector<std::string> names;
        const auto [listable, open_error] = open_listable(folder_.value.get(), ".");
        const std::error_code error = open_error ? open_error : names_in(listable.get(), names);
        listed = !error;
        if (!listed) {
            add_once(survey_.unlisted, path_of("") + ": " + reason_of(error.value()));
            names.clear();
        }
        return names;
    }

private:
    std::string path_of(const std::string& name) const {
        const std::string folder = base_ + (base_.ends_with('/') ? "" : "/") + place_.folder;
        return name.empty() ? folder : folder + "/" + name;
    }

    void measure(AppTrace& trace, const struct stat& status) const {
        if (!trace.directory) {
            trace.file_count = 1;
            trace.bytes = trace.link ? 0 : static_cast<std::uint64_t>(status.st_size);
            return;
        }
        try {
            TreeTotals totals = survey_tree_at(folder_.value.get(), trace.name, trace.path);
            trace.file_count = totals.file_count;
            trace.bytes = totals.total_bytes;
            trace.unlisted = std::move(totals.unlisted);
            trace.unlisted_count = totals.unlisted_count;
        } catch (const std::system_error&) {
            // There, but not to be looked into (macOS guards containers): its removal says more,
            // and its size is not what it holds.
            trace.unlisted = {trace.path};
            trace.unlisted_count = 1;
        }
    }

    const std::string& base_;
    const Place& place_;
    TraceSurvey& survey_;
    std::set<std::string>& seen_;
    Result<unique_fd> folder_;
};

// Whether `name` is <id>.<more><suffix>, and so below `id`.
bool below(std::string_view name, const std::string& id, std::string_view suffix) {
    return name.size() > id.size() + 1 + suffix.size() && name_starts_with(name, id) &&
           name[id.size()] == '.' && name_ends_with(name, suffix);
}

// Whether `name` is <id>.<part><suffix> with a part of one component, as ByHost names a file with
// the hardware's identifier: <id>.beta.<part> is another app's.
bool with_one_part(std::string_view name, const std::string& id, std::string_view suffix) {
    if (!below(name, id, suffix)) return false;
    const std::string_view part =
        name.substr(id.size() + 1, name.size() - id.size() - 1 - suffix.size());
    return part.find('.') == std::string_view::npos;
}

// The names in the app's name space that are its own: not another installed app's, nor below
// one's. An app that lies below ours (<id>.beta) keeps its own.
bool ours_below(std::string_view name, const std::string& id, std::string_view suffix,
                const OtherApps& others) {
    if (!below(name, id, suffix)) return false;
    const std::string_view without = name.substr(0, name.size() - suffix.size());
    for (std::size_t end = without.size(); end > id.size(); end = without.rfind('.', end - 1)) {
        if (others.identifiers.contains(without.substr(0, end))) return false;
    }
    return true;
}

// Looks up <owner><suffix> as every spelling the place lists of it, which is how the report shows
// it; by our own spelling where the place cannot be listed.
void look_up_exact(PlaceSurvey& at, const std::vector<std::string>& listed, bool listable,
                   const std::string& owner, const std::string& suffix) {
    const std::string name = owner + suffix;
    if (!listable) {
        at.look_up(name, owner);
        return;
    }
    for (const std::string& entry : listed) {
        if (same_name(entry, name)) at.look_up(entry, owner);
    }
}

void survey_place(int home_fd, const std::string& home, const Place& place, const TraceNames& names,
                  TraceSurvey& survey, std::set<std::string>& seen) {
    PlaceSurvey at(home_fd, home, place, survey, seen);
    if (!at.open()) return;
    const AppIdentities& ids = names.identities;
    const std::string suffix = place.suffix;
    bool listable = false;
    const std::vector<std::string> listed = at.names(listable);
    if (place.naming == Naming::group) {
        for (const std::string& group : ids.groups)
            look_up_exact(at, listed, listable, group, suffix);
        return;
    }
    std::vector<const std::string*> owners{&ids.identifier};
    for (const std::string& nested : ids.nested)
        owners.push_back(&nested);
    if (place.naming == Naming::exact) {
        for (const std::string* owner : owners)
            look_up_exact(at, listed, listable, *owner, suffix);
    }
    for (const std::string& name : listed) {
        if (names.name_space && ours_below(name, ids.identifier, suffix, names.others)) {
            at.look_up(name, ids.identifier);
            continue;
        }
        if (place.naming != Naming::with_part) continue;
        for (const std::string* owner : owners) {
            if (with_one_part(name, *owner, suffix)) at.look_up(name, *owner);
        }
    }
}

// The place `folder` below `base`, reached one folder at a time without following a link.
Result<unique_fd> open_place(const std::string& base, const std::string& folder) {
    Result<unique_fd> base_fd = open_base(base);
    if (base_fd.error) return base_fd;
    return platform::open_folder_beneath(base_fd.value.get(), folder.c_str());
}

}  // namespace

Result<unique_fd> open_base(const std::string& base) {
    return platform::open_search_only(AT_FDCWD, base.c_str());
}

TraceSurvey survey_traces(const std::string& home, const TraceNames& names) {
    TraceSurvey survey;
    const auto [home_fd, error] = open_base(home);
    if (error) {
        if (!not_there(error.value()))
            survey.unexamined.push_back(home + ": " + reason_of(error.value()));
        return survey;
    }
    std::set<std::string> seen;
    for (const Place& place : PLACES)
        survey_place(home_fd.get(), home, place, names, survey, seen);
    return survey;
}

TraceSurvey survey_system_traces(const std::string& system_root,
                                 const std::vector<std::string>& labels) {
    TraceSurvey survey;
    // Below a root that cannot be opened, each place fails to open in turn.
    const Result<unique_fd> root = open_base(system_root);
    const unique_fd& root_fd = root.value;
    std::set<std::string> seen;
    static constexpr Place DAEMONS{"Library/LaunchDaemons", ".plist", Naming::exact, Kind::system};
    static constexpr Place HELPERS{"Library/PrivilegedHelperTools", "", Naming::exact,
                                   Kind::system};
    for (const Place* place : {&DAEMONS, &HELPERS}) {
        PlaceSurvey at(root_fd.get(), system_root, *place, survey, seen);
        if (!at.open()) continue;
        for (const std::string& label : labels)
            at.look_up(label + place->suffix, label);
    }
    return survey;
}

bool remove_trace(const std::string& base, const AppTrace& trace) {
    const auto [folder, error] = open_place(base, trace.folder);
    if (error && not_there(error.value())) return false;
    if (error) throw fs_error(error.value(), trace.path);
    if (trace.directory) return remove_tree_at(folder.get(), trace.name, trace.path);
    return remove_file_at(folder.get(), trace.name, trace.path);
}

Check trace_state(const std::string& base, const AppTrace& trace, Problem& why) {
    const auto [folder, open_error] = open_place(base, trace.folder);
    struct stat status {};
    std::error_code error = open_error;
    if (!open_error &&
        ::fstatat(folder.get(), trace.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        error = last_error();
    if (!error) return Check::left;
    if (not_there(error.value())) return Check::done;
    why = {reason_of(error.value()), error};
    return Check::cannot_tell;
}

}  // namespace brinvast
