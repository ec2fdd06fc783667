// SPDX-License-Identifier: MIT
// Directory listings on macOS: readdir for names and types, and getattrlistbulk(2) for a listing
// that wants sizes too, which reads a batch of entries with their attributes in one call where a
// stat per entry would cost a call each.
#include <dirent.h>

#include <cstddef>
#include <cstdint>
#if __has_include(<sys/attr.h>)
#include <sys/attr.h>
#else  // headers without it; these are macOS's own declarations
struct attrlist {
    unsigned short bitmapcount;
    std::uint16_t reserved;
    std::uint32_t commonattr;
    std::uint32_t volattr;
    std::uint32_t dirattr;
    std::uint32_t fileattr;
    std::uint32_t forkattr;
};
#define ATTR_BIT_MAP_COUNT 5
#endif

#include <cerrno>

#include "bulk_attributes.h"
#include "platform.h"
#include "syscalls.h"

namespace brinvast::platform {

namespace {

bool is_dot_or_dot_dot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Where getattrlistbulk cannot serve, readdir still lists: the call asks for search permission
// on top of the read permission that listing needs, and a file system may not take it.
bool readdir_lists_instead(int error) {
    return error == EACCES || error == ENOTSUP || error == EINVAL;
}

}  // namespace

DirectoryListing::DirectoryListing(int dir_fd, ListingBuffer& buffer, ListingDetail detail)
    : fd_(dir_fd), buffer_(buffer), sizes_(detail == ListingDetail::sizes) {}

DirectoryListing::~DirectoryListing() {
    if (dir_ != nullptr) syscalls().closedir(dir_);
}

bool DirectoryListing::next(DirectoryEntry& entry) {
    if (error_) return false;
    return sizes_ ? next_listed(entry) : next_read(entry);
}

// Entries come in batches that fill the buffer; the descriptor's offset says where the next
// batch starts. The first batch that fails as readdir_lists_instead says has read nothing.
bool DirectoryListing::next_listed(DirectoryEntry& entry) {
    for (;;) {
        if (left_ == 0) {
            attrlist wanted{};
            wanted.bitmapcount = ATTR_BIT_MAP_COUNT;
            wanted.commonattr = bulk::COMMON;
            wanted.fileattr = bulk::FILE;
            const int got =
                syscalls().getattrlistbulk(fd_, &wanted, buffer_.bytes, ListingBuffer::SIZE, 0);
            if (got < 0) {
                const int error = errno;
                if (!started_ && readdir_lists_instead(error)) {
                    sizes_ = false;
                    return next_read(entry);
                }
                return fail(error);
            }
            if (got == 0) return false;
            started_ = true;
            left_ = static_cast<std::size_t>(got);
            pos_ = 0;
        }
        std::size_t length = 0;
        const std::span<const std::byte> rest(buffer_.bytes + pos_, ListingBuffer::SIZE - pos_);
        if (!bulk::read_entry(rest, entry, length)) return fail(EIO);
        pos_ += length;
        --left_;
        if (!is_dot_or_dot_dot(entry.name)) return true;
    }
}

// fdopendir takes over the descriptor it is given, so it gets a duplicate of the caller's.
bool DirectoryListing::next_read(DirectoryEntry& entry) {
    if (dir_ == nullptr) {
        const int own_fd = syscalls().dup(fd_);
        if (own_fd < 0) return fail(errno);
        dir_ = syscalls().fdopendir(own_fd);
        if (dir_ == nullptr) {
            const int error = errno;
            syscalls().close(own_fd);
            return fail(error);
        }
    }
    for (;;) {
        errno = 0;
        const dirent* record = syscalls().readdir(dir_);
        if (record == nullptr) return errno == 0 ? false : fail(errno);
        if (is_dot_or_dot_dot(record->d_name)) continue;
        entry.name = record->d_name;
        entry.type = record->d_type;
        entry.facts_known = false;
        entry.flags_known = false;
        return true;
    }
}

}  // namespace brinvast::platform
