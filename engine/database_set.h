// SPDX-License-Identifier: MIT
#pragma once

// The database's set, as SQLite finds it by name: the main file and the sidecars beside it, the
// write-ahead log, its shared-memory index and the rollback journal. Every part of the engine that
// names a set's entries names them from here, once.

#include <array>
#include <cstddef>
#include <span>

namespace brinvast {

// The names of a set beside its main file: the main file first, then its sidecars.
inline constexpr std::array<const char*, 4> SET_SUFFIXES{"", "-wal", "-shm", "-journal"};
inline constexpr std::size_t SET_SIZE = SET_SUFFIXES.size();

// The sidecars' suffixes alone.
inline constexpr std::span<const char* const> SIDECAR_SUFFIXES{SET_SUFFIXES.begin() + 1,
                                                               SET_SUFFIXES.end()};

// What a move that a kill, a failed fsync or a power loss had cut short calls for.
enum class Recovery {
    none,                    // nothing was cut short
    cleared_unused_journal,  // nothing had moved yet
    restored_older_backup,   // the older backup that was being set aside goes back under its name
    undid_backup,            // the database and the older backup go back under their names
    finished_backup,         // the older backup that a successful run replaced goes for good
    cannot_tell,             // names and entries disagree: nothing may be moved
};

}  // namespace brinvast
