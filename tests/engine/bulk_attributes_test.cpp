// SPDX-License-Identifier: MIT
// The records of macOS's getattrlistbulk, read from bytes laid out as the kernel packs them.

#include "bulk_attributes.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace brinvast::platform {
namespace {

struct Fields {
    std::uint32_t common = bulk::COMMON;
    std::uint32_t file = bulk::FILE;
    std::uint32_t error = 0;
    std::uint32_t type = bulk::VREG;
    std::uint32_t flags = 0;
    std::uint64_t size = 0;
    std::uint32_t name_overrun = 0;  // bytes the name's stated length runs past the record
};

template <class T>
void put(std::vector<std::byte>& out, T value) {
    const auto* bytes = reinterpret_cast<const std::byte*>(&value);
    out.insert(out.end(), bytes, bytes + sizeof value);
}

// One record named "a.dat", with the attributes that `fields` says were returned, padded to 8.
std::vector<std::byte> record(const Fields& fields) {
    const std::string name = "a.dat";
    std::vector<std::byte> out(4);
    put(out, std::array<std::uint32_t, 5>{fields.common, 0, 0, fields.file, 0});
    if ((fields.common & bulk::ERROR) != 0) put(out, fields.error);
    const std::size_t reference = out.size();
    out.resize(out.size() + 8);
    if ((fields.common & bulk::OBJTYPE) != 0) put(out, fields.type);
    if ((fields.common & bulk::FLAGS) != 0) put(out, fields.flags);
    if ((fields.file & bulk::DATALENGTH) != 0) put(out, fields.size);
    const auto offset = static_cast<std::int32_t>(out.size() - reference);
    const auto length = static_cast<std::uint32_t>(name.size() + 1 + fields.name_overrun);
    std::memcpy(out.data() + reference, &offset, 4);
    std::memcpy(out.data() + reference + 4, &length, 4);
    out.insert(out.end(), reinterpret_cast<const std::byte*>(name.c_str()),
               reinterpret_cast<const std::byte*>(name.c_str()) + name.size() + 1);
    out.resize((out.size() + 7) / 8 * 8);
    const auto total = static_cast<std::uint32_t>(out.size());
    std::memcpy(out.data(), &total, 4);
    return out;
}

struct Row {
    const char* what;
    Fields fields;
    bool read;
    unsigned char type;
    bool facts_known;
    std::uint64_t size;
    bool dataless;
    const char* lock = nullptr;  // the flag that locks it, as lock_flag names it
};

TEST(FsBulkAttributes, RecordsGiveNameTypeAndSizeOnlyWhereTheyHoldThem) {
    const Row rows[] = {
        {"a file", {.flags = bulk::DATALESS, .size = 1234}, true, DT_REG, true, 1234, true},
        {"a directory", {.file = 0, .type = bulk::VDIR}, true, DT_DIR, false, 0, false},
        {"a locked folder",
         {.file = 0, .type = bulk::VDIR, .flags = 0x2},
         true,
         DT_DIR,
         false,
         0,
         false,
         "uchg"},
        {"a link", {.type = bulk::VLNK, .size = 9}, true, DT_LNK, false, 0, false},
        {"an entry in error",
         {.common = bulk::RETURNED_ATTRS | bulk::ERROR | bulk::NAME, .file = 0, .error = EACCES},
         true,
         DT_UNKNOWN,
         false,
         0,
         false},
        {"a name past the record", {.name_overrun = 64}, false, 0, false, 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::vector<std::byte> bytes = record(row.fields);
        DirectoryEntry entry;
        std::size_t length = 0;
        ASSERT_EQ(bulk::read_entry(bytes, entry, length), row.read);
        if (!row.read) continue;
        EXPECT_STREQ(entry.name, "a.dat");
        EXPECT_EQ(length, bytes.size());
        EXPECT_EQ(entry.type, row.type);
        EXPECT_EQ(entry.facts_known, row.facts_known);
        EXPECT_EQ(entry.size, row.size);
        EXPECT_EQ(entry.dataless, row.dataless);
        EXPECT_STREQ(entry.lock, row.lock);
    }
}

}  // namespace
}  // namespace brinvast::platform
