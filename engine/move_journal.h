// SPDX-License-Identifier: MIT
#pragma once

// The journal of a database move (see database_files.h): its names, and the manifest it keeps of
// both sets' identities, as text. Nothing here touches the disk.

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "database_set.h"
#include "pinned_folder.h"

namespace brinvast::database_move {

inline constexpr const char* NEW_JOURNAL = ".brinvast-uninstall-new";
inline constexpr const char* MOVING_JOURNAL = ".brinvast-uninstall-moving";
inline constexpr const char* DISCARD_JOURNAL = ".brinvast-uninstall-discard";
// With an earlier version's journals, which hold no manifest of identities: they are only ever
// emptied by hand, never trusted.
inline constexpr std::array<const char*, 5> JOURNALS{NEW_JOURNAL, MOVING_JOURNAL, DISCARD_JOURNAL,
                                                     ".brinvast-uninstall-aside",
                                                     ".brinvast-uninstall-restoring"};
inline constexpr const char* MANIFEST_NAME = "record";
inline constexpr std::size_t MANIFEST_LIMIT = 4096;

using SetIdentities = std::array<std::optional<EntryIdentity>, SET_SIZE>;

// What the journal records of both sets before anything moves: its manifest, kept in the file
// "record" inside it.
struct Manifest {
    SetIdentities live;
    SetIdentities older;
    bool operator==(const Manifest&) const = default;
};

[[nodiscard]] std::string manifest_text(const Manifest& manifest);

// Nothing unless `text` is a whole manifest, as manifest_text() writes one.
[[nodiscard]] std::optional<Manifest> parse_manifest(std::string_view text);

}  // namespace brinvast::database_move
