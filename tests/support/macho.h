// SPDX-License-Identifier: MIT
#pragma once

// Mach-O executables written byte by byte as Apple's linker and codesign lay them out: thin or
// universal, signed or not, and spoilt a field at a time. Builds on every platform.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace brinvast::testing::macho {

// Appends `value` as `size` bytes, the most significant first when `big_endian`.
inline void put(std::string& out, std::uint64_t value, std::size_t size, bool big_endian = true) {
    for (std::size_t i = 0; i < size; ++i)
        out += static_cast<char>(value >> (8 * (big_endian ? size - 1 - i : i)) & 0xff);
}

// `bytes` with the 4-byte field at `at` replaced by `value`: a field spoilt.
inline std::string patched(std::string bytes, std::size_t at, std::uint32_t value,
                           bool big_endian = true) {
    std::string field;
    put(field, value, 4, big_endian);
    return bytes.replace(at, 4, field);
}

// A CodeDirectory of version 0x20200 naming `team` (none when empty), with no hash slots;
// `flags` 2 marks it ad hoc.
inline std::string code_directory(const std::string& team, std::uint32_t flags = 0) {
    const std::string identifier = std::string("com.brinvast.app") + '\0';
    const std::size_t header = 52;  // through teamOffset
    const std::size_t length = header + identifier.size() + (team.empty() ? 0 : team.size() + 1);
    const std::size_t team_offset = team.empty() ? 0 : header + identifier.size();
    std::string blob;
    // magic, length, version, flags, hashOffset, identOffset, nSpecialSlots, nCodeSlots,
    // codeLimit, then hashSize 32, hashType 2, platform 0, pageSize 2^12, spare2, scatterOffset.
    for (const std::uint64_t field :
         {std::size_t{0xfade0c02}, length, std::size_t{0x20200}, std::size_t{flags}, length, header,
          std::size_t{0}, std::size_t{0}, std::size_t{0x1000}, std::size_t{0x2002000c},
          std::size_t{0}, std::size_t{0}, team_offset})
        put(blob, field, 4);
    return blob + identifier + (team.empty() ? "" : team + '\0');
}

// An entitlements blob whose XML grants the application groups `groups`.
inline std::string entitlements(const std::vector<std::string>& groups) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        "<key>com.apple.security.application-groups</key><array>";
    for (const std::string& group : groups)
        xml += "<string>" + group + "</string>";
    xml += "</array></dict></plist>\n";
    std::string blob;
    put(blob, 0xfade7171, 4);
    put(blob, 8 + xml.size(), 4);
    return blob + xml;
}

// The SuperBlob of an embedded signature: each blob under its slot type, in this order.
inline std::string super_blob(const std::vector<std::pair<std::uint32_t, std::string>>& blobs) {
    std::string index;
    std::string contents;
    for (const auto& [type, blob] : blobs) {
        put(index, type, 4);
        put(index, 12 + 8 * blobs.size() + contents.size(), 4);
        contents += blob;
    }
    std::string whole;
    put(whole, 0xfade0cc0, 4);
    put(whole, 12 + index.size() + contents.size(), 4);
    put(whole, blobs.size(), 4);
    return whole + index + contents;
}

// Where executable() writes its LC_CODE_SIGNATURE's cmdsize.
constexpr std::size_t SIGNATURE_COMMAND_SIZE_AT = 36;

// A 64-bit executable for arm64, little-endian, or for ppc64, big-endian, whose one load command
// puts `signature` at its end; unsigned, with no load command, when `signature` is empty.
inline std::string executable(const std::string& signature, bool big_endian = false) {
    const std::size_t commands = signature.empty() ? 0 : 16;
    std::string file;
    // magic, cputype, cpusubtype, filetype MH_EXECUTE, ncmds, sizeofcmds, flags, reserved
    for (const std::uint64_t field :
         {std::size_t{0xfeedfacf}, std::size_t{big_endian ? 0x01000012u : 0x0100000cu},
          std::size_t{0}, std::size_t{2}, commands / 16, commands, std::size_t{0}, std::size_t{0}})
        put(file, field, 4, big_endian);
    if (signature.empty()) return file;
    // LC_CODE_SIGNATURE: cmd, cmdsize, dataoff, datasize
    for (const std::uint64_t field :
         {std::size_t{0x1d}, std::size_t{16}, 32 + commands, signature.size()})
        put(file, field, 4, big_endian);
    return file + signature;
}

// A 16-byte name of a segment or section, padded with NULs.
inline std::string name16(const std::string& name) {
    return name + std::string(16 - name.size(), '\0');
}

// A 64-bit executable for arm64 whose __TEXT segment holds the section __info_plist with `plist`,
// as a privileged helper tool embeds its Info.plist.
inline std::string with_info_plist(const std::string& plist) {
    const std::size_t commands = 72 + 80;  // segment_command_64 and one section_64
    std::string file;
    for (const std::uint64_t field :
         {std::size_t{0xfeedfacf}, std::size_t{0x0100000c}, std::size_t{0}, std::size_t{2},
          std::size_t{1}, commands, std::size_t{0}, std::size_t{0}})
        put(file, field, 4, false);
    // LC_SEGMENT_64: cmd, cmdsize, segname, then vmaddr, vmsize, fileoff, filesize, then maxprot,
    // initprot, nsects, flags
    put(file, 0x19, 4, false);
    put(file, commands, 4, false);
    file += name16("__TEXT");
    file.append(32, '\0');
    for (const std::uint32_t field : {5u, 5u, 1u, 0u})
        put(file, field, 4, false);
    // section_64: sectname, segname, addr, size, offset, then align, reloff, nreloc, flags and
    // three reserved words
    file += name16("__info_plist") + name16("__TEXT");
    put(file, 0, 8, false);
    put(file, plist.size(), 8, false);
    put(file, 32 + commands, 4, false);
    file.append(28, '\0');
    return file + plist;
}

// A universal file of `slices`, each 16-byte aligned, described by fat_arch_64 when `wide`.
inline std::string universal(const std::vector<std::string>& slices, bool wide = false) {
    const std::size_t size = wide ? 8 : 4;
    const auto aligned = [](std::size_t offset) { return (offset + 15) / 16 * 16; };
    std::string head;
    put(head, wide ? 0xcafebabf : 0xcafebabe, 4);
    put(head, slices.size(), 4);
    std::string body(aligned(8 + slices.size() * (wide ? 32 : 20)), '\0');
    for (const std::string& slice : slices) {
        put(head, 0x0100000c, 4);  // cputype, cpusubtype: the slice's own header tells
        put(head, 0, 4);
        put(head, body.size(), size);
        put(head, slice.size(), size);
        put(head, 4, 4);  // align: 2^4
        if (wide) put(head, 0, 4);
        body += slice;
        body.resize(aligned(body.size()), '\0');
    }
    return body.replace(0, head.size(), head);
}

}  // namespace brinvast::testing::macho
