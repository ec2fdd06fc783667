// SPDX-License-Identifier: MIT
// The sidecars beside the database: which stand there, and folding them into it.
#include "database_files.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "fs.h"
#include "platform.h"
#include "syscalls.h"
#include "unique_fd.h"

namespace brinvast {

namespace {

bool is_wal_database(const std::string& db) {
    const unique_fd file(
        platform::syscalls().open(db.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
    struct stat status {};
    if (!file.valid() || platform::syscalls().fstat(file.get(), &status) != 0 ||
        !S_ISREG(status.st_mode)) {
        return false;
    }
    // The header's first 16 bytes name the format; bytes 18 and 19 are 2 in WAL mode.
    unsigned char header[20] = {};
    if (platform::syscalls().pread(file.get(), header, sizeof header, 0) !=
        static_cast<ssize_t>(sizeof header)) {
        return false;
    }
    return std::memcmp(header, "SQLite format 3", 16) == 0 && header[18] == 2 && header[19] == 2;
}

}  // namespace

Sidecars sidecars_of(const std::string& db) {
    Sidecars found;
    for (const char* suffix : SIDECAR_SUFFIXES) {
        const PathCheck check = check_path(db + suffix);
        if (check.error) {
            found.problem = {fs_error(check.error.value(), db + suffix).what(), check.error};
        } else if (check.present) {
            found.suffixes.emplace_back(suffix);
        }
    }
    return found;
}

namespace {

// Whether no sidecar is left beside `db`, as far as can be told.
bool none_left(const std::string& db) {
    const Sidecars found = sidecars_of(db);
    return !found.problem && found.suffixes.empty();
}

}  // namespace

bool fold_sidecars(const std::string& db) {
    if (none_left(db)) return true;
    struct stat status {};
    if (platform::syscalls().lstat((db + "-journal").c_str(), &status) == 0 ||
        !is_wal_database(db)) {
        return none_left(db);
    }
    sqlite3* handle = nullptr;
    // No waiting: a database that someone holds open is not ours to close.
    if (::sqlite3_open_v2(db.c_str(), &handle,
                          SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_PRIVATECACHE,
                          nullptr) == SQLITE_OK) {
        // On macOS only F_FULLFSYNC reaches the disk itself.
        (void)::sqlite3_exec(handle,
                             "PRAGMA fullfsync=1; PRAGMA checkpoint_fullfsync=1; "
                             "PRAGMA wal_checkpoint(TRUNCATE)",
                             nullptr, nullptr, nullptr);
    }
    // The last connection to close checkpoints once more and removes the log and its index.
    (void)::sqlite3_close(handle);
    std::string name;
    const unique_fd folder(platform::syscalls().open(parent_of(db, name).c_str(),
                                                     O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (folder.valid()) (void)platform::sync_to_disk(folder.get());
    return none_left(db);
}

}  // namespace brinvast
