#pragma once

// The database and the sidecar files that SQLite finds by name beside it: the write-ahead log,
// its shared-memory index and the rollback journal. A sidecar paired with the wrong main file
// loses committed transactions, so the set only ever moves whole.

#include <array>
#include <string>
#include <vector>

namespace brinvast {

inline constexpr std::array<const char*, 3> sidecar_suffixes{"-wal", "-shm", "-journal"};

// The suffixes of the sidecars that stand beside the database at `db`. Throws fs_error for one
// that cannot be examined: it may be there.
[[nodiscard]] std::vector<std::string> sidecars_of(const std::string& db);

// What moving the database to the backup name did.
struct DatabaseMove {
    std::vector<std::string> sidecars;  // the suffixes of the sidecars that moved along
    std::vector<std::string> replaced;  // the older backup's files that are gone, main first
};

// Moves the database at `db` and its sidecars to `backup` with the same suffixes, replacing the
// older backup and each of its sidecars, so that none is left to pair with the new backup.
// All or nothing for the database: when a move fails, what had moved goes back and the error
// is thrown, so the database stays whole under its own name. The older backup's files that
// were replaced before the failure stay replaced.
[[nodiscard]] DatabaseMove move_database(const std::string& db, const std::string& backup);

// Moves the backup and the sidecars that moved with it back to `db`, all or nothing.
void move_database_back(const std::string& backup, const std::string& db,
                        const std::vector<std::string>& sidecars);

}  // namespace brinvast
