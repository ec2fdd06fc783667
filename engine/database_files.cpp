// SPDX-License-Identifier: MIT
#include "database_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string_view>
#include <utility>

#include "database_folder.h"
#include "fs.h"
#include "move_journal.h"
#include "move_plan.h"
#include "platform.h"
#include "syscalls.h"

namespace brinvast {

namespace {

using database_move::DatabaseFolder;
using database_move::DISCARD_JOURNAL;
using database_move::Journal;
using database_move::Manifest;
using database_move::MOVING_JOURNAL;
using database_move::NEW_JOURNAL;
using database_move::Observed;
using database_move::SetIdentities;
using database_move::Undo;

// An entry that a flag locks would stop a move half-way: it is found before anything moves.
void refuse_locked(int dir, const std::string& name, const std::string& shown) {
    if (const char* flag = platform::locking_flag(dir, name.c_str())) {
        throw fs_error(EPERM, std::string("Locked (") + flag + ")", shown);
    }
}

void refuse_locked(const DatabaseFolder& folder, const Journal& journal, const Undo& undo) {
    for (const std::size_t i : undo.in_the_way)
        refuse_locked(folder.fd(), folder.live_at(i), folder.path_of(folder.live_at(i)));
    for (std::size_t i = 0; i < SET_SIZE; ++i) {
        const std::string name = folder.backup_at(i);
        if (undo.live_back[i]) refuse_locked(folder.fd(), name, folder.path_of(name));
        if (undo.older_back[i])
            refuse_locked(journal.fd.get(), name, folder.path_in(journal, name));
    }
}

DatabaseRestore carry_out(const DatabaseFolder& folder, const Journal& journal, const Undo& undo) {
    refuse_locked(folder, journal, undo);
    DatabaseRestore restore;
    restore.set_aside = folder.set_aside(undo.in_the_way, folder.live());
    for (std::size_t i = 0; i < SET_SIZE; ++i) {
        if (!undo.live_back[i]) continue;
        folder.move_entry(folder.backup_at(i), folder.live_at(i));
        if (i == 0) {
            restore.database_back = true;
        } else {
            restore.sidecars.emplace_back(SET_SUFFIXES[i]);
        }
    }
    folder.make_durable();
    for (std::size_t i = 0; i < SET_SIZE; ++i) {
        if (!undo.older_back[i]) continue;
        const std::string name = folder.backup_at(i);
        folder.move_entry(journal.fd.get(), name, folder.fd(), name, folder.path_in(journal, name),
                          folder.path_of(name));
        restore.older_backup_back = true;
    }
    folder.make_durable();
    folder.make_durable(journal.fd.get(), folder.path_of(journal.name));
    folder.remove_journal(journal);
    return restore;
}

void carry_out_discard(const DatabaseFolder& folder, Journal& journal, const Observed& seen) {
    if (std::string_view(journal.name) != DISCARD_JOURNAL) {
        folder.rename_journal(journal, DISCARD_JOURNAL);
    }
    for (std::size_t i = 0; i < SET_SIZE; ++i) {
        if (!seen.journal[i]) continue;
        const std::string name = folder.backup_at(i);
        folder.remove_entry(journal.fd.get(), name, 0, folder.path_in(journal, name));
    }
    folder.make_durable(journal.fd.get(), folder.path_of(journal.name));
    folder.remove_journal(journal);
}

// Undoes whatever of a move stands on disk; what it set out to do plays no part.
void undo_as_found(const DatabaseFolder& folder, const Journal& journal, const Manifest& manifest) {
    const database_move::MovePlaces places = folder.places(journal);
    const Undo undo = plan_undo(places, manifest, folder.observe(journal));
    if (const Problem problem = undo_problem(places, undo)) {
        throw fs_error(EEXIST, "Cannot put the database back: " + problem.text,
                       folder.path_of(journal.name));
    }
    (void)carry_out(folder, journal, undo);
}

// Runs `step`; when it fails, runs `undo` and throws the step's error. When the undo fails too,
// the journal stays for the next run, and the error says both.
template <class Step, class Undo>
void or_undo(Step step, Undo undo) {
    try {
        step();
    } catch (const std::system_error& error) {
        try {
            undo();
        } catch (const std::system_error& undo_error) {
            throw fs_error(error.code().value(),
                           std::string(error.what()) + "; putting it back failed too",
                           undo_error.what());
        }
        throw;
    }
}

// True when the database is a link that resolves to the backup: the data already stands there.
bool links_to_backup(const std::string& db, const std::string& backup) {
    struct stat status {};
    return platform::syscalls().lstat(db.c_str(), &status) == 0 && S_ISLNK(status.st_mode) &&
           real_path(db) == real_path(backup);
}

// Everything known about a cut-short move, and what putting it right takes.
struct Inspection {
    CutShortMove result;
    Journal journal;
    Observed seen;
    Undo undo;
};

Inspection inspect(const DatabaseFolder& folder) {
    Inspection inspection;
    CutShortMove& result = inspection.result;
    const std::vector<const char*> present = folder.journals_present();
    if (present.empty()) return inspection;
    result.journal = folder.path_of(present.front());
    std::optional<Manifest> manifest;
    try {
        inspection.journal = folder.open_journal(present.front());
        manifest = folder.read_manifest(inspection.journal);
        inspection.seen = folder.observe(inspection.journal);
    } catch (const std::system_error& error) {
        // A journal that cannot be looked into may hold the older backup: nothing may go ahead
        // of it, neither the bundle's removal nor a move beside it.
        result.recovery = Recovery::cannot_tell;
        result.problem = {error.what(), error.code()};
        return inspection;
    }
    const database_move::MovePlaces places = folder.places(inspection.journal);
    result.found = found_lines(places, manifest ? &*manifest : nullptr, inspection.seen);
    database_move::RecoveryPlan plan =
        plan_recovery(places, present.size(), manifest, inspection.seen);
    result.recovery = plan.recovery;
    result.problem = std::move(plan.problem);
    inspection.undo = std::move(plan.undo);
    return inspection;
}

// The journal `name` of a move that is under way in this run, with its manifest.
std::optional<std::pair<Journal, Manifest>> move_under_way(const DatabaseFolder& folder,
                                                           const char* name = MOVING_JOURNAL) {
    if (!folder.identity_of(name)) return std::nullopt;
    Journal journal = folder.open_journal(name);
    std::optional<Manifest> manifest = folder.read_manifest(journal);
    if (!manifest) {
        throw fs_error(ENOENT, "The journal of the database's move has no record",
                       folder.path_of(name));
    }
    return std::pair{std::move(journal), *manifest};
}

std::vector<std::string> without_main(const SetIdentities& set) {
    std::vector<std::string> suffixes;
    for (std::size_t i = 1; i < SET_SIZE; ++i) {
        if (set[i]) suffixes.emplace_back(SET_SUFFIXES[i]);
    }
    return suffixes;
}

}  // namespace

void check_database_shape(const std::string& db, const std::string& backup, bool reserve) {
    struct stat status {};
    if (platform::syscalls().stat(db.c_str(), &status) != 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) return;
        throw fs_error(error, db);
    }
    if (S_ISDIR(status.st_mode)) throw fs_error(EISDIR, db);
    if (!S_ISREG(status.st_mode)) throw fs_error(EINVAL, "Not a regular file", db);
    std::string name;
    const std::string folder = parent_of(db, name);
    if (platform::syscalls().faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        const int error = errno;
        throw fs_error(error, folder);
    }
    refuse_locked(AT_FDCWD, folder, folder);
    for (const std::string& base : {db, backup}) {
        for (const char* suffix : SET_SUFFIXES) {
            const std::string path = base + suffix;
            if (platform::syscalls().lstat(path.c_str(), &status) != 0) {
                const int error = errno;
                if (error == ENOENT) continue;
                throw fs_error(error, path);
            }
            if (S_ISDIR(status.st_mode)) throw fs_error(EISDIR, path);
            refuse_locked(AT_FDCWD, path, path);
        }
    }
    if (!reserve) return;
    const std::string journal = folder + "/" + NEW_JOURNAL;
    if (platform::syscalls().mkdir(journal.c_str(), 0700) != 0 ||
        platform::syscalls().rmdir(journal.c_str()) != 0) {
        const int error = errno;
        throw fs_error(error, journal);
    }
}

namespace {

// A database that is only a link to its backup: the link goes, and what it said is kept.
DatabaseMove drop_link_to_backup(const DatabaseFolder& folder, const std::string& db) {
    Result<std::string> target = platform::read_link(db);
    if (target.error) throw fs_error(target.error.value(), db);
    DatabaseMove moved{{}, {}, true, std::move(target.value)};
    folder.remove_entry(folder.fd(), folder.live(), 0, db);
    folder.make_durable();
    return moved;
}

// Sets the older backup aside in a journal that records both sets, then moves the live set to
// the backup names; whatever of it fails is undone as found.
void carry_out_move(const DatabaseFolder& folder, const Manifest& manifest) {
    Journal journal = folder.begin_journal();
    or_undo(
        [&] {
            folder.write_manifest(journal, manifest);
            folder.rename_journal(journal, MOVING_JOURNAL);
            for (std::size_t i = 0; i < SET_SIZE; ++i) {
                if (!manifest.older[i]) continue;
                const std::string name = folder.backup_at(i);
                folder.move_entry(folder.fd(), name, journal.fd.get(), name, folder.path_of(name),
                                  folder.path_in(journal, name));
            }
            folder.make_durable(journal.fd.get(), folder.path_of(journal.name));
            folder.make_durable();
            for (std::size_t i = 0; i < SET_SIZE; ++i) {
                if (manifest.live[i]) folder.move_entry(folder.live_at(i), folder.backup_at(i));
            }
            folder.make_durable();
        },
        [&] { undo_as_found(folder, journal, manifest); });
}

}  // namespace

std::optional<DatabaseMove> move_database(const std::string& db, const std::string& backup) {
    const DatabaseFolder folder(db, backup);
    if (!folder.exists()) return std::nullopt;
    if (const std::vector<const char*> pending = folder.journals_present(); !pending.empty()) {
        throw fs_error(EEXIST, "An interrupted move of the database must be put right first",
                       folder.path_of(pending.front()));
    }
    check_database_shape(db, backup, false);
    if (!folder.identity_of(folder.live())) return std::nullopt;
    if (links_to_backup(db, backup)) return drop_link_to_backup(folder, db);
    const Manifest manifest{folder.identities_of_set(folder.live()),
                            folder.identities_of_set(folder.backup())};
    DatabaseMove moved{without_main(manifest.live), {}, false, {}};
    // A dangling link at the backup name is in the way, but it is no backup.
    for (std::size_t i = 0; i < SET_SIZE; ++i) {
        if (manifest.older[i] && path_exists(backup + SET_SUFFIXES[i]))
            moved.replaced.push_back(backup + SET_SUFFIXES[i]);
    }
    carry_out_move(folder, manifest);
    return moved;
}

DatabaseRestore move_database_back(const std::string& db, const std::string& backup) {
    const DatabaseFolder folder(db, backup);
    if (!folder.exists()) throw fs_error(ENOENT, db);
    std::optional<std::pair<Journal, Manifest>> under_way = move_under_way(folder);
    if (!under_way) {
        throw fs_error(ENOENT, "No journal of the database's move", folder.path_of(MOVING_JOURNAL));
    }
    const auto& [journal, manifest] = *under_way;
    const Undo undo = plan_undo(folder.places(journal), manifest, folder.observe(journal));
    if (undo.problem) {
        throw fs_error(EEXIST, "Cannot put the database back: " + undo.problem.text,
                       folder.path_of(journal.name));
    }
    return carry_out(folder, journal, undo);
}

void restore_database_link(const std::string& db, const std::string& target) {
    const DatabaseFolder folder(db, db);
    if (!folder.exists()) throw fs_error(ENOENT, db);
    std::vector<std::size_t> in_the_way;
    if (folder.identity_of(folder.live())) in_the_way.push_back(0);
    (void)folder.set_aside(in_the_way, folder.live());
    if (platform::syscalls().symlinkat(target.c_str(), folder.fd(), folder.live().c_str()) != 0) {
        const int error = errno;
        throw fs_error(error, db);
    }
    folder.make_durable();
}

void discard_older_backup(const std::string& db, const std::string& backup) {
    const DatabaseFolder folder(db, backup);
    if (!folder.exists()) return;
    std::optional<std::pair<Journal, Manifest>> under_way = move_under_way(folder);
    // An earlier attempt of this run may have failed after the journal took its last name.
    if (!under_way) under_way = move_under_way(folder, DISCARD_JOURNAL);
    if (!under_way) return;
    auto& [journal, manifest] = *under_way;
    const Observed seen = folder.observe(journal);
    const Problem problem = discard_problem(folder.places(journal), manifest, seen);
    if (problem) {
        throw fs_error(EEXIST, "The older backup was kept: " + problem.text,
                       folder.path_of(journal.name));
    }
    carry_out_discard(folder, journal, seen);
}

std::vector<std::pair<std::string, std::string>> set_aside_lone_sidecars(const std::string& db,
                                                                         bool dry_run) {
    const DatabaseFolder folder(db, db);
    if (!folder.exists() || folder.identity_of(folder.live())) return {};
    std::vector<std::size_t> lone;
    for (std::size_t i = 1; i < SET_SIZE; ++i) {
        if (folder.identity_of(folder.live_at(i))) lone.push_back(i);
    }
    if (!dry_run) return folder.set_aside(lone, folder.live());
    std::vector<std::pair<std::string, std::string>> named;
    const std::string aside = lone.empty() ? std::string() : folder.free_set_aside_name();
    for (const std::size_t i : lone)
        named.emplace_back(folder.path_of(folder.live_at(i)),
                           folder.path_of(aside + SET_SUFFIXES[i]));
    return named;
}

CutShortMove inspect_database_move(const std::string& db, const std::string& backup) {
    const DatabaseFolder folder(db, backup);
    if (!folder.exists()) return {};
    return inspect(folder).result;
}

CutShortMove recover_database_move(const std::string& db, const std::string& backup) {
    const DatabaseFolder folder(db, backup);
    if (!folder.exists()) return {};
    Inspection inspection = inspect(folder);
    switch (inspection.result.recovery) {
        case Recovery::none:
        case Recovery::cannot_tell:
            break;
        case Recovery::cleared_unused_journal:
            folder.remove_journal(inspection.journal);
            break;
        case Recovery::finished_backup:
            carry_out_discard(folder, inspection.journal, inspection.seen);
            break;
        case Recovery::restored_older_backup:
        case Recovery::undid_backup:
            (void)carry_out(folder, inspection.journal, inspection.undo);
            break;
    }
    return inspection.result;
}

}  // namespace brinvast
