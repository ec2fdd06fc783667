// SPDX-License-Identifier: MIT
#include "bulk_attributes.h"

#include <dirent.h>

#include <cstring>
#include <iterator>

namespace brinvast::platform::bulk {

namespace {

// A cursor over one record, which the kernel aligns to 4 bytes only: every value is copied out.
class Fields {
public:
    explicit Fields(std::span<const std::byte> record) : record_(record) {}

    template <class T>
    [[nodiscard]] bool read(T& value) {
        if (record_.size() - at_ < sizeof value) return false;
        std::memcpy(&value, record_.data() + at_, sizeof value);
        at_ += sizeof value;
        return true;
    }

    [[nodiscard]] std::size_t at() const { return at_; }

private:
    std::span<const std::byte> record_;
    std::size_t at_ = 0;
};

struct Returned {
    std::uint32_t common = 0;
    std::uint32_t volume = 0;
    std::uint32_t directory = 0;
    std::uint32_t file = 0;
    std::uint32_t fork = 0;
};

unsigned char directory_type(std::uint32_t object_type) {
    // enum vtype: VNON, VREG, VDIR, VBLK, VCHR, VLNK, VSOCK, VFIFO, ...
    constexpr unsigned char TYPES[] = {DT_UNKNOWN, DT_REG, DT_DIR,  DT_BLK,
                                       DT_CHR,     DT_LNK, DT_SOCK, DT_FIFO};
    return object_type < std::size(TYPES) ? TYPES[object_type] : TYPES[0];
}

// The name an attrreference at `reference` (the offset of its start) leads to: it must end in
// NUL within the record.
const char* name_at(std::span<const std::byte> record, std::size_t reference, std::int32_t offset,
                    std::uint32_t length) {
    const auto start = static_cast<std::int64_t>(reference) + offset;
    if (offset < 0 || length < 2 || start + length > static_cast<std::int64_t>(record.size()))
        return nullptr;
    const auto* name = reinterpret_cast<const char*>(record.data() + start);
    return name[length - 1] == '\0' ? name : nullptr;
}

}  // namespace

bool read_entry(std::span<const std::byte> bytes, DirectoryEntry& entry, std::size_t& length) {
    std::uint32_t record_length = 0;
    if (!Fields(bytes).read(record_length) || record_length > bytes.size()) return false;
    const std::span<const std::byte> record = bytes.first(record_length);
    Fields fields(record);
    Returned returned;
    std::uint32_t error = 0;
    std::int32_t name_offset = 0;
    std::uint32_t name_length = 0;
    std::uint32_t object_type = 0;
    std::uint32_t flags = 0;
    std::uint64_t size = 0;
    if (!fields.read(record_length) || !fields.read(returned)) return false;
    if ((returned.common & ERROR) != 0 && !fields.read(error)) return false;
    const std::size_t name_reference = fields.at();
    if ((returned.common & NAME) == 0 || !fields.read(name_offset) || !fields.read(name_length))
        return false;
    if ((returned.common & OBJTYPE) != 0 && !fields.read(object_type)) return false;
    if ((returned.common & FLAGS) != 0 && !fields.read(flags)) return false;
    if ((returned.file & DATALENGTH) != 0 && !fields.read(size)) return false;

    entry.name = name_at(record, name_reference, name_offset, name_length);
    entry.type = directory_type(object_type);
    entry.facts_known = error == 0 && object_type != VDIR && object_type != VLNK &&
                        (returned.common & (OBJTYPE | FLAGS)) == (OBJTYPE | FLAGS) &&
                        (returned.file & DATALENGTH) != 0;
    entry.size = entry.facts_known ? size : 0;
    entry.dataless = entry.facts_known && (flags & DATALESS) != 0;
    entry.flags_known = error == 0 && (returned.common & FLAGS) != 0;
    entry.lock = entry.flags_known ? lock_in_flags(flags) : nullptr;
    length = record_length;
    return entry.name != nullptr;
}

}  // namespace brinvast::platform::bulk
