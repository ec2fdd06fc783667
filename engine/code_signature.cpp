// SPDX-License-Identifier: MIT
#include "code_signature.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

#include "info_plist.h"
#include "unique_fd.h"

namespace brinvast {

namespace {

// Mach-O's numbers, as <mach-o/loader.h>, <mach-o/fat.h> and the kernel's cs_blobs.h define them.
constexpr std::uint32_t FAT_MAGIC = 0xcafebabe;
constexpr std::uint32_t FAT_MAGIC_64 = 0xcafebabf;
constexpr std::uint32_t MH_MAGIC = 0xfeedface;
constexpr std::uint32_t MH_MAGIC_64 = 0xfeedfacf;
constexpr std::uint32_t LC_SEGMENT = 0x1;
constexpr std::uint32_t LC_SEGMENT_64 = 0x19;
constexpr std::uint32_t LC_CODE_SIGNATURE = 0x1d;
constexpr std::uint32_t CSMAGIC_EMBEDDED_SIGNATURE = 0xfade0cc0;
constexpr std::uint32_t CSMAGIC_CODEDIRECTORY = 0xfade0c02;
constexpr std::uint32_t CSMAGIC_EMBEDDED_ENTITLEMENTS = 0xfade7171;
constexpr std::uint32_t CSSLOT_CODEDIRECTORY = 0;
constexpr std::uint32_t CSSLOT_ENTITLEMENTS = 5;
constexpr std::uint32_t CSSLOT_ALTERNATE_CODEDIRECTORIES = 0x1000;
constexpr std::uint32_t CSSLOT_ALTERNATE_CODEDIRECTORY_LIMIT = 0x1005;
constexpr std::uint32_t CS_SUPPORTSTEAMID = 0x20200;
constexpr std::uint32_t CS_ADHOC = 0x2;
constexpr std::size_t CODE_DIRECTORY_SIZE = 44;  // up to spare2
constexpr std::size_t TEAM_OFFSET_AT = 48;

constexpr std::uint32_t MAX_SLICES = 16;
constexpr std::uint32_t MAX_COMMANDS_SIZE = 1 << 20;
constexpr std::uint32_t MAX_SIGNATURE_SIZE = 32 << 20;
constexpr std::uint32_t MAX_BLOBS = 64;
constexpr std::size_t MAX_TEAM_SIZE = 64;
constexpr std::size_t MAX_GROUP_SIZE = 255;
constexpr std::string_view GROUPS_KEY = "com.apple.security.application-groups";
constexpr std::string_view CLIENTS_KEY = "SMAuthorizedClients";
constexpr std::uint32_t MAX_INFO_PLIST_SIZE = 1 << 20;

// The bytes at `offset`, `size` of them or fewer at the end of the file; nullopt when the file
// cannot be read.
using ReadAt = std::function<std::optional<std::string>(std::uint64_t offset, std::size_t size)>;

// Why the file is refused, as the report says it; it ends the reading.
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The unsigned integer of `size` bytes at `at` of `bytes`, which holds them, in the byte order
// `big_endian` names.
[[nodiscard]] std::uint64_t integer(std::string_view bytes, std::size_t at, std::size_t size,
                                    bool big_endian) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const auto byte =
            static_cast<unsigned char>(bytes[big_endian ? at + i : at + size - 1 - i]);
        value = (value << 8) | byte;
    }
    return value;
}
[[nodiscard]] std::uint32_t big32(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint32_t>(integer(bytes, at, 4, true));
}

[[nodiscard]] std::uint32_t swapped(std::uint32_t value) {
    return (value >> 24) | ((value >> 8) & 0xff00) | ((value << 8) & 0xff0000) | (value << 24);
}

[[nodiscard]] bool is_alphanumeric(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

[[nodiscard]] bool is_team(std::string_view team) {
    return !team.empty() && team.size() <= MAX_TEAM_SIZE &&
           std::all_of(team.begin(), team.end(), is_alphanumeric);
}

// A group names a folder under ~/Library/Group Containers: it must not be able to name another.
[[nodiscard]] bool is_group(std::string_view group) {
    if (group.empty() || group.size() > MAX_GROUP_SIZE) return false;
    if (group.front() == '.' || group.back() == '.') return false;
    if (group.find("..") != std::string_view::npos) return false;
    return std::all_of(group.begin(), group.end(), [](char c) {
        return is_alphanumeric(c) || c == '-' || c == '.' || c == '_';
    });
}

// What one architecture's signature claims, and its embedded Info.plist's authorized clients.
struct SliceSignature {
    bool is_signed = false;
    std::string team;
    std::vector<std::string> groups;
    std::vector<std::string> clients;
};

// Where a load command puts a piece of the slice: its offset and size.
using Place = std::pair<std::uint32_t, std::uint32_t>;

// Reads the signatures of a thin or universal Mach-O file, slice by slice.
class SignatureReader {
public:
    SignatureReader(const ReadAt& read_at, std::string_view name)
        : read_at_(read_at), name_(name) {}

    CodeSignature read() {
        const std::string head = bytes(0, 8);
        if (head.size() < 4) return {};
        const std::uint32_t magic = big32(head, 0);
        if (magic == FAT_MAGIC || magic == FAT_MAGIC_64) {
            read_universal(true, magic == FAT_MAGIC_64);
        } else if (swapped(magic) == FAT_MAGIC || swapped(magic) == FAT_MAGIC_64) {
            read_universal(false, swapped(magic) == FAT_MAGIC_64);
        } else if (is_thin(magic)) {
            merge(read_slice(0, std::numeric_limits<std::uint64_t>::max()));
        }
        return found_;
    }

private:
    [[nodiscard]] static bool is_thin(std::uint32_t magic) {
        return magic == MH_MAGIC || magic == MH_MAGIC_64 || swapped(magic) == MH_MAGIC ||
               swapped(magic) == MH_MAGIC_64;
    }

    [[noreturn]] void invalid(std::string_view reason) const {
        throw Refused(name_ + " is not a valid Mach-O file: " + std::string(reason));
    }

    // Up to `size` bytes at `offset`, fewer at the end of the file.
    [[nodiscard]] std::string bytes(std::uint64_t offset, std::size_t size) const {
        auto got = read_at_(offset, size);
        if (!got) throw Refused(name_ + " cannot be read");
        return std::move(*got);
    }

    // Exactly `size` bytes at `offset`, or the file is refused for `what` running past its end.
    [[nodiscard]] std::string exactly(std::uint64_t offset, std::size_t size,
                                      std::string_view what) const {
        std::string got = bytes(offset, size);
        if (got.size() < size) invalid(std::string(what) + " runs past the end");
        return got;
    }

    void read_universal(bool big_endian, bool wide) {
        const std::uint32_t count =
            static_cast<std::uint32_t>(integer(exactly(0, 8, "the header"), 4, 4, big_endian));
        if (count > MAX_SLICES) invalid("more than 16 architectures");
        const std::size_t entry = wide ? 32 : 20;  // fat_arch_64 or fat_arch
        const std::string table = exactly(8, count * entry, "the architectures");
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::size_t at = i * entry + 8;  // past cputype and cpusubtype
            const std::size_t size = wide ? 8 : 4;
            const std::uint64_t offset = integer(table, at, size, big_endian);
            const std::uint64_t length = integer(table, at + size, size, big_endian);
            if (length > std::numeric_limits<std::uint64_t>::max() - offset)
                invalid("an architecture lies outside the file");
            merge(read_slice(offset, length));
        }
    }

    // The signature of the Mach-O slice of `length` bytes at `offset`, which cannot overflow.
    SliceSignature read_slice(std::uint64_t offset, std::uint64_t length) {
        // Up to sizeofcmds; a 64-bit header's reserved word is not needed.
        const std::string header = exactly(offset, 24, "the header");
        const std::uint32_t magic = big32(header, 0);
        if (!is_thin(magic)) invalid("an architecture is not Mach-O");
        const bool big_endian = magic == MH_MAGIC || magic == MH_MAGIC_64;
        const bool wide = magic == MH_MAGIC_64 || swapped(magic) == MH_MAGIC_64;
        const std::size_t header_size = wide ? 32 : 28;
        const auto field = [&](std::size_t at) {
            return static_cast<std::uint32_t>(integer(header, at, 4, big_endian));
        };
        const std::uint32_t commands_size = field(20);
        if (commands_size > MAX_COMMANDS_SIZE) invalid("its load commands exceed 1 MiB");
        if (header_size + commands_size > length) invalid("its load commands run past the end");
        const std::string commands =
            exactly(offset + header_size, commands_size, "its load commands");
        const LoadCommands found = load_commands(commands, field(16), big_endian, wide);
        std::vector<std::string> clients;
        if (found.info_plist)
            clients = clients_in(
                piece(offset, length, *found.info_plist, MAX_INFO_PLIST_SIZE, "its Info.plist"));
        if (!found.signature) return {false, {}, {}, std::move(clients)};
        if (found.signature->second > MAX_SIGNATURE_SIZE)
            invalid("its code signature exceeds 32 MiB");
        SliceSignature slice = read_superblob(
            piece(offset, length, *found.signature, MAX_SIGNATURE_SIZE, "its code signature"));
        slice.clients = std::move(clients);
        return slice;
    }

    // The piece of the slice of `length` bytes at `offset` that `place` names, at most `limit`
    // bytes, which problems call `what`.
    [[nodiscard]] std::string piece(std::uint64_t offset, std::uint64_t length, Place place,
                                    std::uint32_t limit, std::string_view what) const {
        const auto [at, size] = place;
        if (size > limit) invalid(std::string(what) + " is too large");
        if (std::uint64_t{at} + size > length) invalid(std::string(what) + " runs past the end");
        return exactly(offset + at, size, what);
    }

    // What the load commands say where to find.
    struct LoadCommands {
        std::optional<Place> signature;   // LC_CODE_SIGNATURE's
        std::optional<Place> info_plist;  // the section __TEXT,__info_plist
    };

    // Where LC_CODE_SIGNATURE and the __TEXT,__info_plist section, among the `count` load
    // commands in `commands`, put the signature and the embedded Info.plist.
    [[nodiscard]] LoadCommands load_commands(std::string_view commands, std::uint32_t count,
                                             bool big_endian, bool wide) const {
        const auto field = [&](std::size_t at) {
            return static_cast<std::uint32_t>(integer(commands, at, 4, big_endian));
        };
        LoadCommands found;
        std::size_t at = 0;
        for (std::uint32_t i = 0; i < count; ++i) {
            if (commands.size() - at < 8) invalid("a load command runs past the end");
            const std::uint32_t size = field(at + 4);
            if (size < 8 || size % 4 != 0 || size > commands.size() - at)
                invalid("a load command runs past the end");
            const std::uint32_t command = field(at);
            if (command == LC_CODE_SIGNATURE) {
                if (size < 16 || found.signature) invalid("a bad code signature command");
                found.signature.emplace(field(at + 8), field(at + 12));
            } else if (command == (wide ? LC_SEGMENT_64 : LC_SEGMENT) && !found.info_plist) {
                found.info_plist = info_plist_section(commands.substr(at, size), big_endian, wide);
            }
            at += size;
        }
        return found;
    }

    // Where the segment command `segment` puts its __info_plist section, when it is __TEXT and
    // has one: a section_64 is 80 bytes after a 72-byte segment_command_64, a section 68 after 56.
    [[nodiscard]] std::optional<Place> info_plist_section(std::string_view segment, bool big_endian,
                                                          bool wide) const {
        const std::size_t header = wide ? 72 : 56;
        const std::size_t section = wide ? 80 : 68;
        if (segment.size() < header || name_at(segment, 8) != "__TEXT") return std::nullopt;
        const auto sections = integer(segment, header - 8, 4, big_endian);
        if (sections > (segment.size() - header) / section) invalid("a bad segment command");
        for (std::size_t i = 0; i < sections; ++i) {
            const std::size_t at = header + i * section;
            if (name_at(segment, at) != "__info_plist") continue;
            const std::size_t size_at = at + (wide ? 40 : 36);
            const std::uint64_t size = integer(segment, size_at, wide ? 8 : 4, big_endian);
            const std::uint64_t offset = integer(segment, size_at + (wide ? 8 : 4), 4, big_endian);
            if (size > MAX_INFO_PLIST_SIZE) invalid("its Info.plist is too large");
            return Place{static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(size)};
        }
        return std::nullopt;
    }

    // The name of 16 bytes at `at`, padded with NULs.
    [[nodiscard]] static std::string_view name_at(std::string_view bytes, std::size_t at) {
        const std::string_view name = bytes.substr(at, 16);
        return name.substr(0, std::min(name.find('\0'), name.size()));
    }

    [[nodiscard]] std::vector<std::string> clients_in(std::string_view info_plist) const {
        PlistLists lists = plist_lists_in(info_plist, {CLIENTS_KEY}, name_ + "'s Info.plist");
        if (lists.problem) throw Refused(lists.problem.text);
        const auto clients = lists.values.find(CLIENTS_KEY);
        return clients == lists.values.end() ? std::vector<std::string>{}
                                             : std::move(clients->second);
    }

    // The blob at `offset` of `superblob`, when it lies inside, is at least a magic number and
    // a length long, and has a code-signing magic number.
    [[nodiscard]] std::string_view blob_at(std::string_view superblob, std::uint32_t offset) const {
        if (offset > superblob.size() || superblob.size() - offset < 8)
            invalid("a blob lies outside the code signature");
        const std::uint32_t length = big32(superblob, offset + 4);
        if (length < 8 || length > superblob.size() - offset)
            invalid("a blob lies outside the code signature");
        const std::string_view blob = superblob.substr(offset, length);
        if ((big32(blob, 0) >> 16) != 0xfade) invalid("a bad blob in the code signature");
        return blob;
    }

    SliceSignature read_superblob(std::string_view signature) {
        if (signature.size() < 12 || big32(signature, 0) != CSMAGIC_EMBEDDED_SIGNATURE)
            invalid("its code signature has a bad magic number");
        const std::uint32_t length = big32(signature, 4);
        const std::uint32_t count = big32(signature, 8);
        if (length < 12 || length > signature.size()) invalid("its code signature is truncated");
        const std::string_view superblob = signature.substr(0, length);
        if (count > MAX_BLOBS || count > (length - 12) / 8)
            invalid("too many blobs in its code signature");
        std::vector<std::uint32_t> types;
        std::optional<std::string> team;
        SliceSignature slice{true, {}, {}, {}};
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t type = big32(superblob, 12 + 8 * i);
            if (std::find(types.begin(), types.end(), type) != types.end())
                invalid("a blob appears twice in its code signature");
            types.push_back(type);
            const std::string_view blob = blob_at(superblob, big32(superblob, 16 + 8 * i));
            if (type == CSSLOT_CODEDIRECTORY || (type >= CSSLOT_ALTERNATE_CODEDIRECTORIES &&
                                                 type < CSSLOT_ALTERNATE_CODEDIRECTORY_LIMIT)) {
                const std::string directory_team = team_of(blob);
                if (team && *team != directory_team)
                    throw Refused(name_ + "'s code directories name different teams");
                team = directory_team;
            } else if (type == CSSLOT_ENTITLEMENTS) {
                slice.groups = groups_of(blob);
            }
        }
        if (!team) invalid("its code signature has no CodeDirectory");
        slice.team = *team;
        return slice;
    }

    // The team that the CodeDirectory `directory` names; none for an ad hoc signature, which
    // vouches for no one.
    [[nodiscard]] std::string team_of(std::string_view directory) const {
        if (directory.size() < CODE_DIRECTORY_SIZE || big32(directory, 0) != CSMAGIC_CODEDIRECTORY)
            invalid("a bad CodeDirectory");
        if (big32(directory, 8) < CS_SUPPORTSTEAMID || (big32(directory, 12) & CS_ADHOC) != 0)
            return {};
        if (directory.size() < TEAM_OFFSET_AT + 4) invalid("a bad CodeDirectory");
        const std::uint32_t offset = big32(directory, TEAM_OFFSET_AT);
        if (offset == 0) return {};
        const std::size_t end =
            offset < directory.size() ? directory.find('\0', offset) : std::string_view::npos;
        if (end == std::string_view::npos) invalid("its team identifier runs past its blob");
        const std::string_view team = directory.substr(offset, end - offset);
        if (!is_team(team))
            throw Refused(name_ + " claims an invalid team identifier \"" + shown_name(team) +
                          "\"");
        return std::string(team);
    }

    [[nodiscard]] std::vector<std::string> groups_of(std::string_view blob) const {
        if (big32(blob, 0) != CSMAGIC_EMBEDDED_ENTITLEMENTS) invalid("a bad entitlements blob");
        PlistLists lists =
            plist_lists_in(blob.substr(8), {GROUPS_KEY}, name_ + "'s entitlements blob");
        if (lists.problem) throw Refused(lists.problem.text);
        const auto groups = lists.values.find(GROUPS_KEY);
        if (groups == lists.values.end()) return {};
        for (const std::string& group : groups->second) {
            if (!is_group(group))
                throw Refused(name_ + " claims an invalid application group \"" +
                              shown_name(group) + "\"");
        }
        return std::move(groups->second);
    }

    // Adds a slice's claims to the file's: every signed slice names the same team.
    void merge(SliceSignature slice) {
        for (std::string& client : slice.clients) {
            if (std::find(found_.clients.begin(), found_.clients.end(), client) ==
                found_.clients.end())
                found_.clients.push_back(std::move(client));
        }
        if (!slice.is_signed) return;
        if (signed_ && slice.team != found_.team)
            throw Refused(name_ + "'s architectures are signed by different teams");
        signed_ = true;
        found_.team = std::move(slice.team);
        for (std::string& group : slice.groups) {
            if (std::find(found_.groups.begin(), found_.groups.end(), group) == found_.groups.end())
                found_.groups.push_back(std::move(group));
        }
    }

    const ReadAt& read_at_;
    std::string name_;
    CodeSignature found_;
    bool signed_ = false;
};

[[nodiscard]] CodeSignature signature_of(const ReadAt& read_at, std::string_view name) {
    try {
        return SignatureReader(read_at, name).read();
    } catch (const Refused& refused) {
        return {{}, {}, {}, std::string(refused.what())};
    }
}

// Up to `size` bytes at `offset` of `fd`, fewer at its end; nullopt and `error` set when the
// file cannot be read.
[[nodiscard]] std::optional<std::string> read_piece(int fd, std::uint64_t offset, std::size_t size,
                                                    int& error) {
    constexpr auto last = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    std::string piece(size, '\0');
    std::size_t got = 0;
    while (got < size && offset <= last - got) {
        const ssize_t read =
            ::pread(fd, piece.data() + got, size - got, static_cast<off_t>(offset + got));
        if (read < 0) {
            error = errno;
            if (error == EINTR) continue;
            return std::nullopt;
        }
        if (read == 0) break;
        got += static_cast<std::size_t>(read);
    }
    error = 0;
    piece.resize(got);
    return piece;
}

}  // namespace

CodeSignature code_signature_in(std::string_view file, std::string_view name) {
    const ReadAt read_at = [file](std::uint64_t offset, std::size_t size) {
        if (offset >= file.size()) return std::optional<std::string>(std::in_place);
        return std::optional<std::string>(file.substr(offset, size));
    };
    return signature_of(read_at, name);
}

CodeSignature read_code_signature(int dir_fd, const char* name) {
    // A path could lead through a link before the last name.
    if (std::strchr(name, '/') != nullptr)
        return {{}, {}, {}, std::string(name) + " is not a file name"};
    // O_NONBLOCK: a FIFO planted there must not hold the open.
    const unique_fd file(::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!file.valid()) {
        const int error = errno;
        return {{}, {}, {}, open_problem(dir_fd, name, name, error, std::string("no ") + name)};
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return {{}, {}, {}, std::string(name) + " is not a regular file"};
    int error = 0;
    const ReadAt read_at = [&](std::uint64_t offset, std::size_t size) {
        return read_piece(file.get(), offset, size, error);
    };
    CodeSignature found = signature_of(read_at, name);
    if (error != 0)
        found = {{},
                 {},
                 {},
                 {std::string(name) + " cannot be read: " + std::generic_category().message(error),
                  {error, std::generic_category()}}};
    return found;
}

}  // namespace brinvast
