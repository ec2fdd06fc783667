// SPDX-License-Identifier: MIT
#include "database_folder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "fs.h"
#include "platform.h"
#include "syscalls.h"

namespace brinvast::database_move {

namespace {

// The folder that holds both `db` and `backup`, checked before anything is opened.
std::string folder_of_both(const std::string& db, const std::string& backup) {
    std::string name;
    const std::string folder = parent_of(db, name);
    if (parent_of(backup, name) != folder) {
        throw fs_error(EXDEV, "The backup must lie beside the database", backup);
    }
    return folder;
}

}  // namespace

DatabaseFolder::DatabaseFolder(const std::string& db, const std::string& backup)
    : PinnedFolder(folder_of_both(db, backup)) {
    (void)parent_of(db, live_);
    (void)parent_of(backup, backup_);
}

SetIdentities DatabaseFolder::identities_of_set(const std::string& base) const {
    SetIdentities set;
    for (std::size_t i = 0; i < SET_SIZE; ++i)
        set[i] = identity_of(base + SET_SUFFIXES[i]);
    return set;
}

Observed DatabaseFolder::observe(const Journal& journal) const {
    Observed seen;
    seen.live = identities_of_set(live_);
    seen.backup = identities_of_set(backup_);
    for (std::size_t i = 0; i < SET_SIZE; ++i) {
        const std::string name = backup_at(i);
        seen.journal[i] = identity_in(journal.fd.get(), name, path_in(journal, name));
    }
    auto buffer = std::make_unique<platform::ListingBuffer>();
    platform::DirectoryListing listing(journal.fd.get(), *buffer);
    platform::DirectoryEntry entry;
    while (listing.next(entry)) {
        const std::string name = entry.name;
        const bool older =
            std::ranges::any_of(SET_SUFFIXES, [&](const char* s) { return name == backup_ + s; });
        if (!older && name != MANIFEST_NAME) seen.strangers.push_back(name);
    }
    if (listing.error()) throw fs_error(listing.error().value(), path_of(journal.name));
    return seen;
}

std::vector<const char*> DatabaseFolder::journals_present() const {
    std::vector<const char*> present;
    for (const char* name : JOURNALS) {
        if (identity_of(name)) present.push_back(name);
    }
    return present;
}

Journal DatabaseFolder::begin_journal() const {
    make_subfolder(NEW_JOURNAL);
    return open_journal(NEW_JOURNAL);
}

Journal DatabaseFolder::open_journal(const char* name) const {
    return Journal{open_subfolder(name), name};
}

void DatabaseFolder::rename_journal(Journal& journal, const char* to) const {
    move_entry(journal.name, to);
    journal.name = to;
    make_durable();
}

void DatabaseFolder::remove_journal(const Journal& journal) const {
    remove_entry(journal.fd.get(), MANIFEST_NAME, 0, path_in(journal, MANIFEST_NAME));
    remove_entry(fd(), journal.name, AT_REMOVEDIR, path_of(journal.name));
    make_durable();
}

void DatabaseFolder::write_manifest(const Journal& journal, const Manifest& manifest) const {
    const std::string shown = path_in(journal, MANIFEST_NAME);
    const unique_fd file(
        platform::syscalls().openat(journal.fd.get(), MANIFEST_NAME,
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid()) {
        const int error = errno;
        throw fs_error(error, shown);
    }
    const std::string text = manifest_text(manifest);
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t wrote =
            platform::syscalls().write(file.get(), text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) throw fs_error(wrote < 0 ? errno : ENOSPC, shown);
        done += static_cast<std::size_t>(wrote);
    }
    make_durable(file.get(), shown);
    make_durable(journal.fd.get(), path_of(journal.name));
}

std::optional<Manifest> DatabaseFolder::read_manifest(const Journal& journal) const {
    const std::string shown = path_in(journal, MANIFEST_NAME);
    const unique_fd file(platform::syscalls().openat(
        journal.fd.get(), MANIFEST_NAME, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
    if (!file.valid()) {
        const int error = errno;
        if (error == ENOENT || error == ELOOP) return std::nullopt;
        throw fs_error(error, shown);
    }
    std::string text(MANIFEST_LIMIT + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t read =
            platform::syscalls().read(file.get(), text.data() + got, text.size() - got);
        if (read < 0 && errno == EINTR) continue;
        if (read < 0) {
            const int error = errno;
            throw fs_error(error, shown);
        }
        if (read == 0) break;
        got += static_cast<std::size_t>(read);
    }
    if (got > MANIFEST_LIMIT) return std::nullopt;
    text.resize(got);
    return parse_manifest(text);
}

std::vector<std::pair<std::string, std::string>> DatabaseFolder::set_aside(
    const std::vector<std::size_t>& which, const std::string& base) const {
    std::vector<std::pair<std::string, std::string>> moved;
    if (which.empty()) return moved;
    const std::string aside = free_set_aside_name();
    for (const std::size_t i : which) {
        move_entry(base + SET_SUFFIXES[i], aside + SET_SUFFIXES[i]);
        moved.emplace_back(path_of(base + SET_SUFFIXES[i]), path_of(aside + SET_SUFFIXES[i]));
    }
    make_durable();
    return moved;
}

std::string DatabaseFolder::free_set_aside_name() const {
    for (int n = 1;; ++n) {
        const std::string name = live_ + ".set-aside-" + std::to_string(n);
        if (std::ranges::none_of(
                SET_SUFFIXES, [&](const char* s) { return identity_of(name + s).has_value(); })) {
            return name;
        }
    }
}

}  // namespace brinvast::database_move
