// SPDX-License-Identifier: MIT
#pragma once

// The journal of a database move (see database_files.h): its names, and the record it keeps of
// both sets' identities, as text. Nothing here touches the disk.

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "pinned_folder.h"

namespace brinvast::database_move {

inline constexpr const char* NEW_JOURNAL = ".brinvast-uninstall-new";
inline constexpr const char* MOVING_JOURNAL = ".brinvast-uninstall-moving";
inline constexpr const char* DISCARD_JOURNAL = ".brinvast-uninstall-discard";
// With an earlier version's journals, which hold no record of identities: they are only ever
// emptied by hand, never trusted.
inline constexpr std::array<const char*, 5> JOURNALS{NEW_JOURNAL, MOVING_JOURNAL, DISCARD_JOURNAL,
                                                     ".brinvast-uninstall-aside",
                                                     ".brinvast-uninstall-restoring"};
inline constexpr const char* RECORD_NAME = "record";
inline constexpr std::size_t RECORD_LIMIT = 4096;

// The names of a set beside its main file: the main file first, then its sidecars.
inline constexpr std::array<const char*, 4> SET_SUFFIXES{"", "-wal", "-shm", "-journal"};
inline constexpr std::size_t SET_SIZE = SET_SUFFIXES.size();

using SetIdentities = std::array<std::optional<EntryIdentity>, SET_SIZE>;

// What the journal records before anything moves.
struct Record {
    SetIdentities live;
    SetIdentities older;
    bool operator==(const Record&) const = default;
};

[[nodiscard]] std::string record_text(const Record& record);

// Nothing unless `text` is a whole record, as record_text() writes one.
[[nodiscard]] std::optional<Record> parse_record(std::string_view text);

}  // namespace brinvast::database_move
