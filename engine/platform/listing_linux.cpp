// SPDX-License-Identifier: MIT
// Directory listings on Linux: getdents64, which tells each entry's type with its name.
#include <dirent.h>

#include <cerrno>

#include "platform.h"
#include "syscalls.h"

namespace brinvast::platform {

namespace {

bool is_dot_or_dot_dot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

// getdents64 straight into one large reused buffer: readdir would copy through a smaller one.
// Linux has no call that reads sizes with the names, so every detail lists alike.
DirectoryListing::DirectoryListing(int dir_fd, ListingBuffer& buffer, ListingDetail)
    : fd_(dir_fd), buffer_(buffer) {}

DirectoryListing::~DirectoryListing() = default;

bool DirectoryListing::next(DirectoryEntry& entry) {
    for (;;) {
        if (pos_ == end_) {
            const ssize_t got = syscalls().getdents64(fd_, buffer_.bytes, ListingBuffer::SIZE);
            if (got < 0) return fail(errno);
            if (got == 0) return false;
            pos_ = 0;
            end_ = static_cast<std::size_t>(got);
        }
        // glibc's dirent64 has the layout of the kernel's getdents64 records.
        const auto* record = reinterpret_cast<const dirent64*>(buffer_.bytes + pos_);
        pos_ += record->d_reclen;
        if (is_dot_or_dot_dot(record->d_name)) continue;
        entry.name = record->d_name;
        entry.type = record->d_type;
        return true;
    }
}

}  // namespace brinvast::platform
