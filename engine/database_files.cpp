#include "database_files.h"

#include <algorithm>

#include "fs.h"

namespace brinvast {

namespace {

struct Move {
    std::string from;
    std::string to;
};

std::vector<Move> set_moves(const std::string& from, const std::string& to,
                            const std::vector<std::string>& sidecars) {
    std::vector<Move> moves{{from, to}};
    for (const std::string& suffix : sidecars)
        moves.push_back({from + suffix, to + suffix});
    return moves;
}

// Called while `cause` is being handled: moves the first `count` of `moves` back, newest first,
// and throws `cause` again. When a move back fails too, the files are split, and the error
// says so and where.
[[noreturn]] void move_back(const std::vector<Move>& moves, std::size_t count,
                            const std::system_error& cause) {
    while (count > 0) {
        const Move& move = moves[--count];
        try {
            rename_path(move.to, move.from);
        } catch (const std::system_error& error) {
            throw fs_error(cause.code().value(),
                           std::string(cause.what()) + "; moving back failed too", error.what());
        }
    }
    throw;
}

// Moves every file of the set or, when one fails, none. For each move: whether it replaced
// whatever stood at its target (false when the target was already another name of the file).
std::vector<bool> move_together(const std::vector<Move>& moves) {
    std::vector<bool> replaced;
    for (const Move& move : moves) {
        try {
            replaced.push_back(replace_file(move.from, move.to));
        } catch (const std::system_error& error) {
            move_back(moves, replaced.size(), error);
        }
    }
    return replaced;
}

bool contains(const std::vector<std::string>& suffixes, const std::string& suffix) {
    return std::ranges::find(suffixes, suffix) != suffixes.end();
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

DatabaseMove move_database(const std::string& db, const std::string& backup) {
    (void)file_status(db);  // the database's own error, when there is one, is the one to tell
    DatabaseMove moved{sidecars_of(db), {}};
    const std::vector<std::string> older_sidecars = sidecars_of(backup);
    const bool older_backup = path_exists(backup);
    const std::vector<Move> moves = set_moves(db, backup, moved.sidecars);
    const std::vector<bool> replaced = move_together(moves);

    if (older_backup && replaced[0]) moved.replaced.push_back(backup);
    for (std::size_t i = 0; i < moved.sidecars.size(); ++i) {
        if (contains(older_sidecars, moved.sidecars[i]) && replaced[i + 1])
            moved.replaced.push_back(backup + moved.sidecars[i]);
    }
    // An older sidecar that nothing replaced would pair with the new backup.
    for (const std::string& suffix : older_sidecars) {
        if (contains(moved.sidecars, suffix)) continue;
        try {
            if (remove_file(backup + suffix)) moved.replaced.push_back(backup + suffix);
        } catch (const std::system_error& error) {
            move_back(moves, moves.size(), error);
        }
    }
    return moved;
}

void move_database_back(const std::string& backup, const std::string& db,
                        const std::vector<std::string>& sidecars) {
    (void)move_together(set_moves(backup, db, sidecars));
}

}  // namespace brinvast
