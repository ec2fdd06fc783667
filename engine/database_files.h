// SPDX-License-Identifier: MIT
#pragma once

// The database and the sidecar files that SQLite finds by name beside it: the write-ahead log,
// its shared-memory index and the rollback journal. A sidecar paired with the wrong main file
// loses committed transactions, so the set only ever moves whole: best as one file, once SQLite
// has folded its sidecars into it; otherwise entry by entry, as a journaled transaction.
//
// Moving a set entry by entry takes several renames, and a kill, a failed fsync or a power loss
// may come between any two. So each move has a journal: a hidden folder beside the database,
// made only by this program, which first records the identity (device, inode, size,
// modification time) of every entry of both sets, durably, and then holds the older backup's
// entries while the live set moves. Its name says which way a cut-short move is to be put right:
//   .brinvast-uninstall-new      nothing has moved yet
//   .brinvast-uninstall-moving   undo: the live set goes back to the live names, the older
//                                backup back to the backup names
//   .brinvast-uninstall-discard  finish: the run succeeded, the older backup is to go
// But the name is only a hint. What stands under each name is the truth: an entry moves only when
// its identity is the recorded one, the older backup is deleted only while the live set stands
// whole under the backup names, and where names and entries disagree nothing moves at all. At
// every instant no main file stands beside another set's sidecar under one name, and the older
// backup stays until the run that replaces it has succeeded.

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "database_set.h"
#include "errors.h"

namespace brinvast {

// The sidecars that stand beside the database at `db`, by their suffixes; and, for one that
// cannot be examined, which and why: it may be there.
struct Sidecars {
    std::vector<std::string> suffixes;
    Problem problem;
};
[[nodiscard]] Sidecars sidecars_of(const std::string& db);

// Throws fs_error, naming the entry, when the database at `db` is not a regular file (or a link
// to one), when its folder may not be changed, when a directory stands at any name of either
// set, or when an entry of either set, or the folder, is locked (immutable or append-only): such
// a move could only fail. With `reserve`, a journal is also made and taken away again, so that a
// full disk shows now. Nothing is checked when nothing stands at `db`.
void check_database_shape(const std::string& db, const std::string& backup, bool reserve);

// Lets SQLite open the database at `db` and close it again, as Brinvast does when it quits: the
// write-ahead log is checkpointed into the database and SQLite removes the log and its index.
// Only for a database in WAL mode with no rollback journal beside it; nothing happens to anything
// else (not a database, a link, busy, read-only, encrypted). True when no sidecar is left.
[[nodiscard]] bool fold_sidecars(const std::string& db);

// What moving the database to the backup name did.
struct DatabaseMove {
    std::vector<std::string> sidecars;  // the suffixes of the sidecars that moved along
    std::vector<std::string> replaced;  // the older backup's entries that are set aside, main first
    bool link_to_backup = false;        // `db` was a link to the backup: only the link went
    std::string link_target;            // what that link said
};

// Moves the database at `db` and its sidecars to `backup` with the same suffixes. The older
// backup set is set aside in the journal, so that none of its sidecars is left to pair with the
// new backup, and stays there until discard_older_backup(). When a step fails, whatever moved
// goes back, the older backup included, and the error is thrown. A database that is a link
// moves as the link; the sidecars beside the file it resolves to, where SQLite keeps them, stay
// paired with it. A link that resolves to the backup name is only removed, for the data already
// stands there. Nothing when no database stands at `db` any more.
[[nodiscard]] std::optional<DatabaseMove> move_database(const std::string& db,
                                                        const std::string& backup);

// What moving the set back did.
struct DatabaseRestore {
    std::vector<std::string> sidecars;  // the suffixes of the live sidecars that moved back
    bool database_back = false;         // the database stands at its name again
    bool older_backup_back = false;     // the older backup stands at its names again
    std::vector<std::pair<std::string, std::string>> set_aside;  // what stood in the way, and where
};

// Undoes move_database(): the set goes back to `db` and the older backup back to `backup`.
// Whatever else stands at the live names is set aside under names that pair with nothing of
// ours; nothing is deleted. Throws fs_error when entries are not where the journal says and
// nothing could be moved safely.
DatabaseRestore move_database_back(const std::string& db, const std::string& backup);

// Puts back the link that move_database() removed.
void restore_database_link(const std::string& db, const std::string& target);

// Deletes the older backup set aside by move_database(), once it has been proved that the live
// set stands whole under the backup names; also finishes a discard that an earlier call began.
// Nothing when no move is under way.
void discard_older_backup(const std::string& db, const std::string& backup);

// Sets aside the sidecars that stand at the live names without their database, under names that
// pair with nothing, keeping their bytes; with `dry_run`, only names them. Returns what was
// (or would be) moved, and where.
std::vector<std::pair<std::string, std::string>> set_aside_lone_sidecars(const std::string& db,
                                                                         bool dry_run);

struct CutShortMove {
    Recovery recovery = Recovery::none;
    std::string journal;             // the journal's path
    Problem problem;                 // why nothing may be moved, for cannot_tell
    std::vector<std::string> found;  // what stands where, and whose it is
};

// Looks at a cut-short move, if any, and says what putting it right would do. Changes nothing.
[[nodiscard]] CutShortMove inspect_database_move(const std::string& db, const std::string& backup);

// Puts right the move that was cut short, if any, and says what it did; cannot_tell when nothing
// could be moved. Throws fs_error when a step of it fails.
[[nodiscard]] CutShortMove recover_database_move(const std::string& db, const std::string& backup);

}  // namespace brinvast
