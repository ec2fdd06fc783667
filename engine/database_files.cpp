#include "database_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fs.h"
#include "platform.h"
#include "unique_fd.h"

namespace brinvast {

namespace {

constexpr const char* aside_journal = ".brinvast-uninstall-aside";
constexpr const char* moving_journal = ".brinvast-uninstall-moving";
constexpr const char* discard_journal = ".brinvast-uninstall-discard";
constexpr const char* restoring_journal = ".brinvast-uninstall-restoring";
constexpr std::array<const char*, 4> journals{restoring_journal, discard_journal, moving_journal,
                                              aside_journal};

// The names of a set beside its main file: the main file first, then its sidecars.
constexpr std::array<const char*, 4> set_suffixes{"", "-wal", "-shm", "-journal"};

// The folder that holds the database and its backup, opened once: every step names its entries
// relative to it, so that the steps of one move cannot land in two places.
class Folder {
public:
    Folder(const std::string& db, const std::string& backup) : path_(parent_of(db, live)) {
        if (parent_of(backup, this->backup) != path_) {
            throw fs_error(EXDEV, "The backup must lie beside the database", backup);
        }
        fd_.reset(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (fd_.valid()) return;
        const int error = errno;
        if (error != ENOENT && error != ENOTDIR) throw fs_error(error, path_);
    }

    [[nodiscard]] bool there() const { return fd_.valid(); }
    [[nodiscard]] int fd() const { return fd_.get(); }
    [[nodiscard]] std::string at(const std::string& name) const { return path_ + "/" + name; }

    // The type bits of the entry `name` in `dir` (this folder or a journal in it), 0 when
    // nothing stands there.
    [[nodiscard]] mode_t type_of(int dir, const std::string& name) const {
        struct stat status {};
        if (::fstatat(dir, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
            return status.st_mode & S_IFMT;
        }
        const int error = errno;
        if (error == ENOENT) return 0;
        throw fs_error(error, at(name));
    }

    // The suffixes of the set named `base` whose entries stand in `dir`.
    [[nodiscard]] std::vector<std::string> set_in(int dir, const std::string& base) const {
        std::vector<std::string> present;
        for (const char* suffix : set_suffixes) {
            if (type_of(dir, base + suffix) != 0) present.emplace_back(suffix);
        }
        return present;
    }

    // Moves an entry without ever replacing one; its error names the entry as the user knows it.
    void move(int from_dir, const std::string& from, int to_dir, const std::string& to) const {
        if (rename_exclusive(from_dir, from, to_dir, to) == 0) return;
        const int error = errno;
        throw fs_error(error, at(error == EEXIST ? to : from));
    }

    void remove(int dir, const std::string& name, int flags = 0) const {
        if (::unlinkat(dir, name.c_str(), flags) == 0 || errno == ENOENT) return;
        const int error = errno;
        throw fs_error(error, at(name));
    }

    // Makes what was done in `dir` so far survive a power loss, before the next step relies on it.
    void sync(int dir, const char* name = ".") const {
        if (platform::sync_directory(dir)) return;
        const int error = errno;
        throw fs_error(error, at(name));
    }

    // Opens the journal `name`; an invalid descriptor when there is none.
    [[nodiscard]] unique_fd journal(const char* name) const {
        unique_fd journal(::openat(fd(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (journal.valid() || errno == ENOENT) return journal;
        const int error = errno;
        throw fs_error(error, at(name));
    }

    // The journal exists, empty, and durably so, before anything moves on its account.
    [[nodiscard]] unique_fd begin(const char* name) const {
        if (::mkdirat(fd(), name, 0700) != 0) {
            const int error = errno;
            throw fs_error(error, at(name));
        }
        sync(fd());
        return journal(name);
    }

    void advance(const char* from, const char* to) const {
        move(fd(), from, fd(), to);
        sync(fd());
    }

    void end(const char* name) const {
        remove(fd(), name, AT_REMOVEDIR);
        sync(fd());
    }

    // The journal that a cut-short move left, or nullptr.
    [[nodiscard]] const char* pending() const {
        for (const char* name : journals) {
            if (type_of(fd(), name) != 0) return name;
        }
        return nullptr;
    }

    // A move must start from a clean slate: a journal left by a cut-short one is put right first.
    void refuse_pending() const {
        if (const char* name = pending()) {
            throw fs_error(EEXIST, "An interrupted move of the database must be finished first",
                           at(name));
        }
    }

    std::string live;
    std::string backup;

private:
    // Without the kernel's promise, look first; the run lock keeps other runs away meanwhile.
    static int rename_exclusive(int from_dir, const std::string& from, int to_dir,
                                const std::string& to) {
        if (platform::rename_exclusive(from_dir, from.c_str(), to_dir, to.c_str()) == 0) return 0;
        if (errno != ENOTSUP) return -1;
        struct stat status {};
        if (::fstatat(to_dir, to.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
            errno = EEXIST;
            return -1;
        }
        if (errno != ENOENT) return -1;
        return ::renameat(from_dir, from.c_str(), to_dir, to.c_str());
    }

    std::string path_;
    unique_fd fd_;
};

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

// ASIDE: the older backup's entries go back under their names, whichever had been set aside.
void put_back_aside(const Folder& folder, int journal) {
    for (const std::string& suffix : folder.set_in(journal, folder.backup)) {
        folder.move(journal, folder.backup + suffix, folder.fd(), folder.backup + suffix);
    }
    folder.sync(folder.fd());
    folder.end(aside_journal);
}

// MOVING: whatever of the live set reached the backup names goes back; then the older backup.
void undo_moving(const Folder& folder, int journal) {
    for (const std::string& suffix : folder.set_in(folder.fd(), folder.backup)) {
        folder.move(folder.fd(), folder.backup + suffix, folder.fd(), folder.live + suffix);
    }
    folder.sync(folder.fd());
    folder.advance(moving_journal, aside_journal);
    put_back_aside(folder, journal);
}

// DISCARD: the live set stands whole under the backup names; the older one goes for good.
void finish_discard(const Folder& folder, int journal) {
    for (const char* suffix : set_suffixes) {
        const std::string name = folder.backup + suffix;
        if (::unlinkat(journal, name.c_str(), 0) == 0 || errno == ENOENT) continue;
        const int error = errno;
        throw fs_error(error,
                       "The database stands under its backup name, but the older backup could "
                       "not be deleted: " +
                           std::string(std::strerror(error)),
                       folder.at(std::string(discard_journal) + "/" + name));
    }
    folder.end(discard_journal);
}

// RESTORING: whatever of the set is still under the backup names goes on to the live names.
void finish_restoring(const Folder& folder) {
    for (const std::string& suffix : folder.set_in(folder.fd(), folder.backup)) {
        folder.move(folder.fd(), folder.backup + suffix, folder.fd(), folder.live + suffix);
    }
    folder.sync(folder.fd());
    folder.end(restoring_journal);
}

// Sets the older backup's entries aside into a journal, under their own names. Returns that
// journal, named MOVING once every entry is aside; when one cannot be set aside, all go back.
unique_fd set_aside(const Folder& folder, const std::vector<std::string>& older) {
    if (older.empty()) return folder.begin(moving_journal);
    unique_fd journal = folder.begin(aside_journal);
    or_undo(
        [&] {
            for (const std::string& suffix : older) {
                folder.move(folder.fd(), folder.backup + suffix, journal.get(),
                            folder.backup + suffix);
            }
            folder.sync(journal.get(), aside_journal);
            folder.sync(folder.fd());
            folder.advance(aside_journal, moving_journal);
        },
        [&] { put_back_aside(folder, journal.get()); });
    return journal;
}

// True when the database is a link that resolves to the backup: the data already stands there.
bool links_to_backup(const std::string& db, const std::string& backup) {
    struct stat status {};
    return ::lstat(db.c_str(), &status) == 0 && S_ISLNK(status.st_mode) &&
           real_path(db) == real_path(backup);
}

std::vector<std::string> without_main(std::vector<std::string> suffixes) {
    std::erase(suffixes, "");
    return suffixes;
}

}  // namespace

std::vector<std::string> sidecars_of(const std::string& db) {
    std::vector<std::string> present;
    for (const char* suffix : sidecar_suffixes) {
        const PathCheck check = check_path(db + suffix);
        if (check.error != 0) throw fs_error(check.error, db + suffix);
        if (check.present) present.emplace_back(suffix);
    }
    return present;
}

void check_database_shape(const std::string& db, const std::string& backup) {
    struct stat status {};
    if (::stat(db.c_str(), &status) != 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) return;
        throw fs_error(error, db);
    }
    if (S_ISDIR(status.st_mode)) throw fs_error(EISDIR, db);
    if (!S_ISREG(status.st_mode)) throw fs_error(EINVAL, "Not a regular file", db);
    std::string name;
    const std::string folder = parent_of(db, name);
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        const int error = errno;
        throw fs_error(error, folder);
    }
    for (const std::string& base : {db, backup}) {
        for (const char* suffix : set_suffixes) {
            const std::string path = base + suffix;
            if (::lstat(path.c_str(), &status) != 0) {
                const int error = errno;
                if (error == ENOENT) continue;
                throw fs_error(error, path);
            }
            if (S_ISDIR(status.st_mode)) throw fs_error(EISDIR, path);
        }
    }
}

std::optional<DatabaseMove> move_database(const std::string& db, const std::string& backup) {
    const Folder folder(db, backup);
    if (!folder.there()) return std::nullopt;
    folder.refuse_pending();
    check_database_shape(db, backup);
    if (folder.type_of(folder.fd(), folder.live) == 0) return std::nullopt;
    if (links_to_backup(db, backup)) {
        folder.remove(folder.fd(), folder.live);
        folder.sync(folder.fd());
        return DatabaseMove{{}, {}, true};
    }
    const std::vector<std::string> older = folder.set_in(folder.fd(), folder.backup);
    const std::vector<std::string> live = folder.set_in(folder.fd(), folder.live);
    const unique_fd journal = set_aside(folder, older);
    or_undo(
        [&] {
            for (const std::string& suffix : live) {
                folder.move(folder.fd(), folder.live + suffix, folder.fd(), folder.backup + suffix);
            }
            folder.sync(folder.fd());
            folder.advance(moving_journal, discard_journal);
        },
        [&] { undo_moving(folder, journal.get()); });
    finish_discard(folder, journal.get());

    DatabaseMove moved{without_main(live), {}, false};
    for (const std::string& suffix : older)
        moved.replaced.push_back(backup + suffix);
    return moved;
}

std::vector<std::string> move_database_back(const std::string& backup, const std::string& db) {
    const Folder folder(db, backup);
    if (!folder.there()) throw fs_error(ENOENT, backup);
    folder.refuse_pending();
    const std::vector<std::string> set = folder.set_in(folder.fd(), folder.backup);
    if (set.empty() || !set.front().empty()) return {};  // no backup to move back
    // Whatever stands at the live names gives way, so that nothing there pairs with the set.
    for (const char* suffix : set_suffixes) {
        const std::string name = folder.live + suffix;
        const mode_t type = folder.type_of(folder.fd(), name);
        if (type == S_IFDIR) throw fs_error(EISDIR, folder.at(name));
        if (type != 0) folder.remove(folder.fd(), name);
    }
    const unique_fd journal = folder.begin(restoring_journal);
    std::vector<std::string> moved;
    or_undo(
        [&] {
            for (const std::string& suffix : set) {
                folder.move(folder.fd(), folder.backup + suffix, folder.fd(), folder.live + suffix);
                moved.push_back(suffix);
            }
        },
        [&] {
            for (const std::string& suffix : moved)
                folder.move(folder.fd(), folder.live + suffix, folder.fd(), folder.backup + suffix);
            folder.sync(folder.fd());
            folder.end(restoring_journal);
        });
    folder.sync(folder.fd());
    folder.end(restoring_journal);
    return without_main(set);
}

bool database_move_pending(const std::string& db, const std::string& backup) {
    const Folder folder(db, backup);
    return folder.there() && folder.pending() != nullptr;
}

Recovery recover_database_move(const std::string& db, const std::string& backup) {
    const Folder folder(db, backup);
    if (!folder.there()) return Recovery::none;
    if (const unique_fd journal = folder.journal(restoring_journal); journal.valid()) {
        finish_restoring(folder);
        return Recovery::finished_rollback;
    }
    if (const unique_fd journal = folder.journal(discard_journal); journal.valid()) {
        finish_discard(folder, journal.get());
        return Recovery::finished_backup;
    }
    if (const unique_fd journal = folder.journal(moving_journal); journal.valid()) {
        undo_moving(folder, journal.get());
        return Recovery::undid_backup;
    }
    if (const unique_fd journal = folder.journal(aside_journal); journal.valid()) {
        put_back_aside(folder, journal.get());
        return Recovery::restored_older_backup;
    }
    return Recovery::none;
}

}  // namespace brinvast
