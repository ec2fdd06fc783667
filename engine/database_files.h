#pragma once

// The database and the sidecar files that SQLite finds by name beside it: the write-ahead log,
// its shared-memory index and the rollback journal. A sidecar paired with the wrong main file
// loses committed transactions, so the set only ever moves whole.
//
// Moving a set takes several renames, and a kill or a power loss may come between any two. So
// each move is a small transaction whose state is the name of a hidden folder beside the
// database, the journal, which only this program makes:
//   .brinvast-uninstall-aside      the older backup's entries are being set aside into it; the
//                                  live set has not moved
//   .brinvast-uninstall-moving     it holds the whole older backup; the live set is moving to
//                                  the backup names
//   .brinvast-uninstall-discard    the live set stands whole under the backup names; the older
//                                  backup in it is being deleted
//   .brinvast-uninstall-restoring  the backup set is moving back to the live names
// At every instant each set's entries stand under names from which recover_database_move() puts
// it back together, and no main file stands beside another set's sidecar under one name. The
// older backup is deleted only once the whole live set has moved.

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace brinvast {

inline constexpr std::array<const char*, 3> sidecar_suffixes{"-wal", "-shm", "-journal"};

// The suffixes of the sidecars that stand beside the database at `db`. Throws fs_error for one
// that cannot be examined: it may be there.
[[nodiscard]] std::vector<std::string> sidecars_of(const std::string& db);

// Throws fs_error, naming the entry, when the database at `db` is not a regular file (or a link
// to one), when its folder may not be changed, or when a directory stands at any name of either
// set: such a move could only fail. Nothing is checked when nothing stands at `db`.
void check_database_shape(const std::string& db, const std::string& backup);

// What moving the database to the backup name did.
struct DatabaseMove {
    std::vector<std::string> sidecars;  // the suffixes of the sidecars that moved along
    std::vector<std::string> replaced;  // the older backup's entries that are gone, main first
    bool link_to_backup = false;        // `db` was a link to the backup: only the link went
};

// Moves the database at `db` and its sidecars to `backup` with the same suffixes, replacing the
// older backup set, so that none of its sidecars is left to pair with the new backup. When a
// step fails, whatever moved goes back, the older backup included, and the error is thrown.
// A database that is a link moves as the link; the sidecars beside the file it resolves to,
// where SQLite keeps them, stay paired with it. A link that resolves to the backup name is only
// removed, for the data already stands there. Nothing when no database stands at `db` any more.
[[nodiscard]] std::optional<DatabaseMove> move_database(const std::string& db,
                                                        const std::string& backup);

// Moves the set at `backup` back to `db`, replacing whatever stands there and deleting sidecars
// there that would pair with it; all or nothing. Returns the suffixes of the sidecars moved.
std::vector<std::string> move_database_back(const std::string& backup, const std::string& db);

// How a move that a kill or power loss had cut short was put right.
enum class Recovery {
    none,                   // nothing was cut short
    restored_older_backup,  // the older backup that was being set aside is back under its name
    undid_backup,           // the database and the older backup are back under their names
    finished_backup,        // the older backup that the backup had replaced is deleted
    finished_rollback,      // the database that was moving back stands under its name
};

// Whether a move of the set was cut short.
[[nodiscard]] bool database_move_pending(const std::string& db, const std::string& backup);

// Finishes or undoes the move that was cut short, if any. Throws fs_error when the entries
// cannot be put back together (something new stands in the way); then nothing more is moved.
[[nodiscard]] Recovery recover_database_move(const std::string& db, const std::string& backup);

}  // namespace brinvast
