// SPDX-License-Identifier: MIT
#pragma once

// The records that macOS's getattrlistbulk(2) packs, one per directory entry, read without a
// call per entry what a stat would tell. Plain bytes in, an entry out: it builds and is tested on
// every platform, while only macOS makes such records.

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform.h"

namespace brinvast::platform::bulk {

// The attributes the listing asks for, as <sys/attr.h> numbers them.
constexpr std::uint32_t RETURNED_ATTRS = 0x80000000;  // ATTR_CMN_RETURNED_ATTRS
constexpr std::uint32_t ERROR = 0x20000000;           // ATTR_CMN_ERROR
constexpr std::uint32_t NAME = 0x00000001;            // ATTR_CMN_NAME
constexpr std::uint32_t OBJTYPE = 0x00000008;         // ATTR_CMN_OBJTYPE
constexpr std::uint32_t FLAGS = 0x00040000;           // ATTR_CMN_FLAGS
constexpr std::uint32_t COMMON = RETURNED_ATTRS | ERROR | NAME | OBJTYPE | FLAGS;
constexpr std::uint32_t DATALENGTH = 0x00000200;  // ATTR_FILE_DATALENGTH: st_size, the data fork
constexpr std::uint32_t FILE = DATALENGTH;

// The vnode types that ATTR_CMN_OBJTYPE gives (enum vtype), and SF_DATALESS of st_flags.
constexpr std::uint32_t VREG = 1;
constexpr std::uint32_t VDIR = 2;
constexpr std::uint32_t VLNK = 5;
constexpr std::uint32_t DATALESS = 0x40000000;

// Reads the record at the start of `bytes` into `entry`, whose name then points into `bytes`,
// and sets `length` to the record's, padding included, where the next one starts. A record
// lays out its length, the attributes returned (ATTR_CMN_RETURNED_ATTRS), then each of those in
// the kernel's order, ATTR_CMN_ERROR first, the others by their bits, common before file ones,
// each at a 4-byte boundary; a directory has no file attributes. The size and flags count only
// where the entry is neither directory nor link, and came without error. False when the record
// is cut short or its name does not lie within it.
[[nodiscard]] bool read_entry(std::span<const std::byte> bytes, DirectoryEntry& entry,
                              std::size_t& length);

}  // namespace brinvast::platform::bulk
