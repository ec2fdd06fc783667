// SPDX-License-Identifier: MIT
// The survey: how many files and folders a tree holds, and their bytes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <optional>

#include "fs.h"
#include "fs_internal.h"
#include "interrupt.h"
#include "platform.h"
#include "tree_walk.h"
#include "unique_fd.h"

namespace brinvast {

namespace {

void add_file(TreeTotals& totals, std::uint64_t size, bool dataless) {
    ++totals.file_count;
    totals.total_bytes += size;
    if (dataless) ++totals.dataless_count;
}

// Where the survey notes the first locked entry, when it looks for one: the walk, for the
// entry's path, and the survey's totals.
struct LockLook {
    const DirectoryStack& stack;
    std::optional<LockedEntry>* found;  // nullptr when the survey does not look

    void note(const char* name, const char* lock) const {
        if (found && !*found && lock) *found = LockedEntry{stack.path_of(name), lock};
    }
};

// Counts a file whose size is not known yet, following a link, as stat does.
void count_file(int fd, const char* name, TreeTotals& totals, const LockLook& look) {
    const Result<platform::EntryFacts> facts = platform::entry_facts(fd, name, true);
    if (facts.error) {
        ++totals.file_count;
        return;
    }
    add_file(totals, facts.value.size, facts.value.dataless);
    look.note(name, facts.value.lock);
}

// Counts one entry that is not known to be a real directory. Links to directories are counted
// as directories but never entered.
void count_other_entry(int fd, const char* name, TreeTotals& totals) {
    const Result<platform::EntryFacts> facts = platform::entry_facts(fd, name, true);
    if (facts.error) {
        ++totals.file_count;  // its type can't be told, and its size is left out
        return;
    }
    if (S_ISDIR(facts.value.mode)) {
        ++totals.dir_count;
        if (facts.value.dataless) ++totals.dataless_count;
        return;
    }
    add_file(totals, facts.value.size, facts.value.dataless);
}

// The type of an entry listed without one: DT_DIR for a real directory, whose dataless state
// counts then, and DT_UNKNOWN for anything else.
unsigned char examined_type(int fd, const char* name, TreeTotals& totals, const LockLook& look) {
    const Result<platform::EntryFacts> facts = platform::entry_facts(fd, name, false);
    if (facts.error) return DT_UNKNOWN;
    look.note(name, facts.value.lock);
    if (!S_ISDIR(facts.value.mode)) return DT_UNKNOWN;
    if (facts.value.dataless) ++totals.dataless_count;
    return DT_DIR;
}

// Counts one entry of the top frame `frame`, open as `fd`, and notes a real subdirectory to
// visit.
void count_entry(int fd, const platform::DirectoryEntry& entry, DirectoryStack::Frame& frame,
                 TreeTotals& totals, const LockLook& look) {
    if (entry.flags_known) {
        look.note(entry.name, entry.lock);
    } else if (look.found && (entry.type == DT_DIR || entry.type == DT_LNK)) {
        // No stat of the survey's reads the flags of a folder or of a link itself, which a
        // removal meets as they are: one more call, when looking.
        look.note(entry.name, platform::locking_flag(fd, entry.name));
    }
    if (entry.facts_known) {
        add_file(totals, entry.size, entry.dataless);
        return;
    }
    const unsigned char type =
        entry.type == DT_UNKNOWN ? examined_type(fd, entry.name, totals, look) : entry.type;
    if (type == DT_DIR) {
        ++totals.dir_count;
        frame.add_child(entry.name);
    } else if (type == DT_LNK || type == DT_UNKNOWN) {
        count_other_entry(fd, entry.name, totals);
    } else {
        count_file(fd, entry.name, totals, look);
    }
}

// Names the subdirectory at `path`, whose contents the totals lack, within the kept number.
void note_unlisted(TreeTotals& totals, std::string path) {
    if (totals.unlisted.size() < TreeTotals::UNLISTED_KEPT)
        totals.unlisted.push_back(std::move(path));
    ++totals.unlisted_count;
}

// What a subdirectory that fails to open or to list with `error` was: gone, or no longer a
// directory, is no loss to the totals; anything else is.
bool lost_to_survey(int error) {
    return error != ENOENT && error != ENOTDIR && error != ELOOP;
}

// Counts the entries of the top frame and notes the real subdirectories to visit. A listing
// that breaks off contributes nothing, not even the subdirectories seen so far.
void list_for_survey(DirectoryStack& stack, platform::ListingBuffer& buffer, TreeTotals& totals,
                     bool find_lock) {
    const LockLook look{stack, find_lock ? &totals.locked : nullptr};
    DirectoryStack::Frame& frame = stack.top();
    frame.listed = true;
    const int fd = frame.fd.get();
    platform::DirectoryListing listing(fd, buffer, platform::ListingDetail::sizes);
    platform::DirectoryEntry entry;
    TreeTotals listed;  // its counts only; they join the totals once the listing is whole
    while (listing.next(entry)) {
        throw_if_interrupted();
        count_entry(fd, entry, frame, listed, look);
    }
    if (const std::error_code error = listing.error()) {
        frame.children.clear();
        if (stack.depth() > 1 && lost_to_survey(error.value()))
            note_unlisted(totals, stack.top_path());
        return;
    }
    totals.file_count += listed.file_count;
    totals.dir_count += listed.dir_count;
    totals.total_bytes += listed.total_bytes;
    totals.dataless_count += listed.dataless_count;
}

// survey_tree of the directory `root`, shown as `path`, or of nothing where it could not be
// opened, with `open_error`. A folder that is there but may not be listed (macOS privacy
// protection, say) is not an empty one.
TreeTotals survey_root(unique_fd root, int open_error, const std::string& path, bool find_lock) {
    TreeTotals totals;
    if (open_error == EACCES || open_error == EPERM) throw fs_error(open_error, path);
    if (!root.valid()) return totals;
    walk_down(
        std::move(root), path,
        [&totals, find_lock](DirectoryStack& stack, platform::ListingBuffer& buffer) {
            list_for_survey(stack, buffer, totals, find_lock);
        },
        [&totals](const DirectoryStack& stack, const char* child, int error) {
            if (lost_to_survey(error)) note_unlisted(totals, stack.path_of(child));
        });
    return totals;
}

}  // namespace

TreeTotals survey_tree(const std::string& path, bool find_lock) {
    unique_fd root(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const int error = root.valid() ? 0 : errno;
    TreeTotals totals;
    // The folder itself and the one that holds it lock the tree too, as locked_entry() finds.
    if (find_lock) totals.locked = locked_at_top(path);
    TreeTotals found = survey_root(std::move(root), error, path, find_lock && !totals.locked);
    if (totals.locked) found.locked = std::move(totals.locked);
    return found;
}

TreeTotals survey_tree_at(int dir_fd, const std::string& name, const std::string& shown) {
    require_single_name(name, shown);
    unique_fd root(::openat(dir_fd, name.c_str(), DIRECTORY_FLAGS));
    const int error = root.valid() ? 0 : errno;
    return survey_root(std::move(root), error, shown, false);
}

}  // namespace brinvast
