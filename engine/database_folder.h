// SPDX-License-Identifier: MIT
#pragma once

// The folder that holds the database, its backup and the journal of their move, opened once: the
// sets by their names in it, what stands under them, and the journal from its making to its end.
// Every step that fails throws fs_error naming the entry as the user knows it.

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "move_journal.h"
#include "move_plan.h"
#include "pinned_folder.h"
#include "unique_fd.h"

namespace brinvast::database_move {

// An open journal, and its name in the folder.
struct Journal {
    unique_fd fd;
    const char* name = nullptr;
};

class DatabaseFolder : public PinnedFolder {
public:
    // The folder of `db`, which must also hold `backup` (else fs_error EXDEV).
    DatabaseFolder(const std::string& db, const std::string& backup);

    // The database's name in the folder, and the backup's.
    [[nodiscard]] const std::string& live() const { return live_; }
    [[nodiscard]] const std::string& backup() const { return backup_; }
    [[nodiscard]] std::string live_at(std::size_t i) const { return live_ + SET_SUFFIXES[i]; }
    [[nodiscard]] std::string backup_at(std::size_t i) const { return backup_ + SET_SUFFIXES[i]; }
    [[nodiscard]] std::string path_in(const Journal& journal, const std::string& name) const {
        return path_of(std::string(journal.name) + "/" + name);
    }
    [[nodiscard]] MovePlaces places(const Journal& journal) const {
        return {path(), live_, backup_, journal.name};
    }

    // The identities of the set whose main file is named `base`.
    [[nodiscard]] SetIdentities identities_of_set(const std::string& base) const;
    [[nodiscard]] Observed observe(const Journal& journal) const;

    // The journals in the folder.
    [[nodiscard]] std::vector<const char*> journals_present() const;
    // The journal in which a move begins: nothing moves on its account until its manifest is whole
    // and durable, and it has taken the name under which a cut-short move is undone.
    [[nodiscard]] Journal begin_journal() const;
    [[nodiscard]] Journal open_journal(const char* name) const;
    // Renames the journal, so that a cut-short move is put right the other way.
    void rename_journal(Journal& journal, const char* to) const;
    // A journal that holds nothing else goes, its manifest last.
    void remove_journal(const Journal& journal) const;

    // Written and made durable inside the journal before the journal takes a name that anything
    // moves under.
    void write_manifest(const Journal& journal, const Manifest& manifest) const;
    // Nothing when the journal has no manifest, or one that is not whole.
    [[nodiscard]] std::optional<Manifest> read_manifest(const Journal& journal) const;

    // Entries of ours at the live names, or ours going there, must not meet anything else there:
    // the entries `which` of the set `base` are set aside together, under a free name that pairs
    // with nothing of ours. Returns the moves.
    std::vector<std::pair<std::string, std::string>> set_aside(
        const std::vector<std::size_t>& which, const std::string& base) const;
    // The free name "<live>.set-aside-N"; each entry set aside keeps its suffix, so that entries
    // set aside together stay together.
    [[nodiscard]] std::string free_set_aside_name() const;

private:
    std::string live_;
    std::string backup_;
};

}  // namespace brinvast::database_move
