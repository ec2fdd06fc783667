// SPDX-License-Identifier: MIT
#include "database_files.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <string_view>

#include "fs.h"
#include "platform.h"
#include "unique_fd.h"

namespace brinvast {

namespace {

constexpr const char* NEW_JOURNAL = ".brinvast-uninstall-new";
constexpr const char* MOVING_JOURNAL = ".brinvast-uninstall-moving";
constexpr const char* DISCARD_JOURNAL = ".brinvast-uninstall-discard";
// An earlier version's JOURNALS, which hold no record of identities: they are only ever emptied
// by hand, never trusted.
constexpr std::array<const char*, 5> JOURNALS{NEW_JOURNAL, MOVING_JOURNAL, DISCARD_JOURNAL,
                                              ".brinvast-uninstall-aside",
                                              ".brinvast-uninstall-restoring"};
constexpr const char* RECORD_NAME = "record";
constexpr const char* RECORD_HEADING = "brinvast-uninstall database move 1";
constexpr std::size_t RECORD_LIMIT = 4096;

// The names of a set beside its main file: the main file first, then its sidecars.
constexpr std::array<const char*, 4> SET_SUFFIXES{"", "-wal", "-shm", "-journal"};
constexpr std::size_t SET_SIZE = SET_SUFFIXES.size();

// What tells one file from another: a name that is given to another file, or the same file
// changed meanwhile, no longer matches.
struct Identity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t seconds = 0;
    std::int64_t nanoseconds = 0;
    bool operator==(const Identity&) const = default;
};
using SetIdentities = std::array<std::optional<Identity>, SET_SIZE>;

bool same(const std::optional<Identity>& a, const std::optional<Identity>& b) {
    return a && b && *a == *b;
}

bool any(const std::array<bool, SET_SIZE>& flags) {
    return std::ranges::any_of(flags, [](bool flag) { return flag; });
}

// What the journal records before anything moves.
struct Record {
    SetIdentities live;
    SetIdentities older;
};

// What stands under the names of both sets and in the journal.
struct Observed {
    SetIdentities live;
    SetIdentities backup;
    SetIdentities journal;               // the older backup's names inside the journal
    std::vector<std::string> strangers;  // any other names inside the journal
};

// An open journal, and its name in the folder.
struct Journal {
    unique_fd fd;
    const char* name = nullptr;
};

// The folder that holds the database and its backup, opened once: every step names its entries
// relative to it, so that the steps of one move cannot land in two places.
class Folder {
public:
    Folder(const std::string& db, const std::string& backup) : path_(parent_of(db, live)) {
        if (parent_of(backup, this->backup) != path_) {
            throw fs_error(EXDEV, "The backup must lie beside the database", backup);
        }
        fd_.reset(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (fd_.valid()) return;
        const int error = errno;
        if (error != ENOENT && error != ENOTDIR) throw fs_error(error, path_);
    }

    [[nodiscard]] bool there() const { return fd_.valid(); }
    [[nodiscard]] int fd() const { return fd_.get(); }
    [[nodiscard]] std::string at(const std::string& name) const { return path_ + "/" + name; }
    [[nodiscard]] std::string in(const Journal& journal, const std::string& name) const {
        return at(std::string(journal.name) + "/" + name);
    }
    [[nodiscard]] std::string live_at(std::size_t i) const { return live + SET_SUFFIXES[i]; }
    [[nodiscard]] std::string backup_at(std::size_t i) const { return backup + SET_SUFFIXES[i]; }

    // The identity of the entry `name` in `dir` (not followed), nothing when none stands there.
    [[nodiscard]] std::optional<Identity> identity(int dir, const std::string& name,
                                                   const std::string& shown) const {
        struct stat status {};
        if (::fstatat(dir, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
            const timespec modified = platform::modification_time(status);
            return Identity{static_cast<std::uint64_t>(status.st_dev),
                            static_cast<std::uint64_t>(status.st_ino), status.st_size,
                            modified.tv_sec, modified.tv_nsec};
        }
        const int error = errno;
        if (error == ENOENT) return std::nullopt;
        throw fs_error(error, shown);
    }
    [[nodiscard]] std::optional<Identity> identity(const std::string& name) const {
        return identity(fd(), name, at(name));
    }

    [[nodiscard]] SetIdentities set(const std::string& base) const {
        SetIdentities set;
        for (std::size_t i = 0; i < SET_SIZE; ++i)
            set[i] = identity(base + SET_SUFFIXES[i]);
        return set;
    }

    // Moves an entry without ever replacing one; its error names the entry as the user knows it.
    void move(int from_dir, const std::string& from, int to_dir, const std::string& to,
              const std::string& shown_from, const std::string& shown_to) const {
        if (rename_exclusive(from_dir, from, to_dir, to) == 0) return;
        const int error = errno;
        throw fs_error(error, error == EEXIST ? shown_to : shown_from);
    }
    void move(const std::string& from, const std::string& to) const {
        move(fd(), from, fd(), to, at(from), at(to));
    }

    void remove(int dir, const std::string& name, int flags, const std::string& shown) const {
        if (::unlinkat(dir, name.c_str(), flags) == 0 || errno == ENOENT) return;
        const int error = errno;
        throw fs_error(error, shown);
    }

    // Makes what was done in `dir` so far survive a power loss, before the next step relies on
    // it. A failure leaves the step perhaps done, perhaps not: whoever undoes it looks first.
    void sync(int dir, const std::string& shown) const {
        if (platform::sync_to_disk(dir)) return;
        const int error = errno;
        throw fs_error(error, shown);
    }
    void sync() const { sync(fd(), path_); }

    // The JOURNALS in the folder.
    [[nodiscard]] std::vector<const char*> journals_present() const {
        std::vector<const char*> present;
        for (const char* name : JOURNALS) {
            if (identity(name)) present.push_back(name);
        }
        return present;
    }

    [[nodiscard]] Journal open_journal(const char* name) const {
        Journal journal{
            unique_fd(::openat(fd(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)), name};
        if (journal.fd.valid()) return journal;
        const int error = errno;
        throw fs_error(error, at(name));
    }

    // Renames the journal, so that a cut-short move is put right the other way.
    void advance(Journal& journal, const char* to) const {
        move(journal.name, to);
        journal.name = to;
        sync();
    }

    // A journal that holds nothing else goes, its record last.
    void end(const Journal& journal) const {
        remove(journal.fd.get(), RECORD_NAME, 0, in(journal, RECORD_NAME));
        remove(fd(), journal.name, AT_REMOVEDIR, at(journal.name));
        sync();
    }

    // The free name "<live>.set-aside-N" for a set of entries that must pair with nothing of
    // ours; each entry keeps its suffix, so that entries set aside together stay together.
    [[nodiscard]] std::string free_set_aside_name() const {
        for (int n = 1;; ++n) {
            const std::string name = live + ".set-aside-" + std::to_string(n);
            if (std::ranges::none_of(
                    SET_SUFFIXES, [&](const char* s) { return identity(name + s).has_value(); })) {
                return name;
            }
        }
    }

    std::string live;
    std::string backup;

private:
    // Without the kernel's promise, look first; the run lock keeps other runs away meanwhile.
    static int rename_exclusive(int from_dir, const std::string& from, int to_dir,
                                const std::string& to) {
        if (platform::rename_exclusive(from_dir, from.c_str(), to_dir, to.c_str()) == 0) return 0;
        if (errno != ENOTSUP) return -1;
        struct stat status {};
        if (::fstatat(to_dir, to.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
            errno = EEXIST;
            return -1;
        }
        if (errno != ENOENT) return -1;
        return ::renameat(from_dir, from.c_str(), to_dir, to.c_str());
    }

    std::string path_;
    unique_fd fd_;
};

// ---- the record ----

void append_number(std::string& text, std::int64_t number) {
    char digits[24];
    const auto [end, error] = std::to_chars(digits, digits + sizeof digits, number);
    text.append(" ").append(digits, end);
}

std::string record_text(const Record& record) {
    std::string text = std::string(RECORD_HEADING) + "\n";
    for (const auto& [set, ids] : {std::pair{"live", &record.live}, {"older", &record.older}}) {
        for (std::size_t i = 0; i < SET_SIZE; ++i) {
            const std::optional<Identity>& id = (*ids)[i];
            if (!id) continue;
            text.append(set).append(" ").append(i == 0 ? "main" : SET_SUFFIXES[i]);
            for (const std::int64_t number :
                 {static_cast<std::int64_t>(id->device), static_cast<std::int64_t>(id->inode),
                  id->size, id->seconds, id->nanoseconds}) {
                append_number(text, number);
            }
            text.push_back('\n');
        }
    }
    return text;
}

// The words of `line`, split at blanks.
std::vector<std::string_view> words_of(std::string_view line) {
    std::vector<std::string_view> words;
    while (!line.empty()) {
        const std::size_t end = std::min(line.find(' '), line.size());
        if (end > 0) words.push_back(line.substr(0, end));
        line.remove_prefix(std::min(end + 1, line.size()));
    }
    return words;
}

std::optional<std::int64_t> number_in(std::string_view word) {
    std::int64_t number = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), number);
    if (error != std::errc{} || end != word.data() + word.size()) return std::nullopt;
    return number;
}

// One "set suffix device inode size seconds nanoseconds" line into `record`.
bool parse_record_line(std::string_view line, Record& record) {
    const std::vector<std::string_view> words = words_of(line);
    if (words.size() != 7 || (words[0] != "live" && words[0] != "older")) return false;
    const auto suffix = std::ranges::find_if(
        SET_SUFFIXES, [&](const char* s) { return words[1] == (*s == '\0' ? "main" : s); });
    if (suffix == SET_SUFFIXES.end()) return false;
    std::array<std::int64_t, 5> numbers{};
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        const std::optional<std::int64_t> number = number_in(words[i + 2]);
        if (!number) return false;
        numbers[i] = *number;
    }
    SetIdentities& set = words[0] == "live" ? record.live : record.older;
    set[static_cast<std::size_t>(suffix - SET_SUFFIXES.begin())] =
        Identity{static_cast<std::uint64_t>(numbers[0]), static_cast<std::uint64_t>(numbers[1]),
                 numbers[2], numbers[3], numbers[4]};
    return true;
}

std::optional<Record> parse_record(std::string_view text) {
    const std::string heading = std::string(RECORD_HEADING) + "\n";
    if (!text.starts_with(heading) || !text.ends_with('\n')) return std::nullopt;
    text.remove_prefix(heading.size());
    Record record;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (!parse_record_line(text.substr(0, end), record)) return std::nullopt;
        text.remove_prefix(end + 1);
    }
    return record;
}

// Written and made durable inside the journal before the journal takes a name that anything
// moves under.
void write_record(const Folder& folder, const Journal& journal, const Record& record) {
    const std::string shown = folder.in(journal, RECORD_NAME);
    const unique_fd file(::openat(journal.fd.get(), RECORD_NAME,
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid()) {
        const int error = errno;
        throw fs_error(error, shown);
    }
    const std::string text = record_text(record);
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t wrote = ::write(file.get(), text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) throw fs_error(wrote < 0 ? errno : ENOSPC, shown);
        done += static_cast<std::size_t>(wrote);
    }
    folder.sync(file.get(), shown);
    folder.sync(journal.fd.get(), folder.at(journal.name));
}

// Nothing when the journal has no record, or one that is not whole.
std::optional<Record> read_record(const Folder& folder, const Journal& journal) {
    const std::string shown = folder.in(journal, RECORD_NAME);
    const unique_fd file(
        ::openat(journal.fd.get(), RECORD_NAME, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.valid()) {
        const int error = errno;
        if (error == ENOENT || error == ELOOP) return std::nullopt;
        throw fs_error(error, shown);
    }
    std::string text(RECORD_LIMIT + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t read = ::read(file.get(), text.data() + got, text.size() - got);
        if (read < 0 && errno == EINTR) continue;
        if (read < 0) {
            const int error = errno;
            throw fs_error(error, shown);
        }
        if (read == 0) break;
        got += static_cast<std::size_t>(read);
    }
    if (got > RECORD_LIMIT) return std::nullopt;
    text.resize(got);
    return parse_record(text);
}

// ---- what stands where ----

Observed observe(const Folder& folder, const Journal& journal) {
    Observed seen;
    seen.live = folder.set(folder.live);
    seen.backup = folder.set(folder.backup);
    for (std::size_t i = 0; i < SET_SIZE; ++i) {
        const std::string name = folder.backup_at(i);
        seen.journal[i] = folder.identity(journal.fd.get(), name, folder.in(journal, name));
    }
    auto buffer = std::make_unique<platform::ListingBuffer>();
    platform::DirectoryListing listing(journal.fd.get(), *buffer);
    platform::DirectoryEntry entry;
    int status = 0;
    while ((status = listing.next(entry)) > 0) {
        const std::string name = entry.name;
        const bool older = std::ranges::any_of(
            SET_SUFFIXES, [&](const char* s) { return name == folder.backup + s; });
        if (!older && name != RECORD_NAME) seen.strangers.push_back(name);
    }
    if (status < 0) throw fs_error(-status, folder.at(journal.name));
    return seen;
}

// What undoing a move does, worked out from what stands where. Nothing in it relies on the
// journal's name or on how far the move had got.
struct Undo {
    std::array<bool, SET_SIZE> live_back{};   // from the backup name to the live name
    std::array<bool, SET_SIZE> older_back{};  // from the journal to the backup name
    std::vector<std::size_t> in_the_way;      // not ours, at the live names the set goes back to
    std::string problem;                      // why nothing may be moved
};

Undo plan_undo(const Folder& folder, const Journal& journal, const Record& record,
               const Observed& seen) {
    Undo undo;
    std::array<bool, SET_SIZE> live_stays{};
    bool stranger_at_backup = false;
    for (std::size_t i = 0; i < SET_SIZE; ++i) {
        live_stays[i] = same(seen.live[i], record.live[i]);
        const bool older_aside = same(seen.journal[i], record.older[i]);
        if (seen.journal[i] && !older_aside) {
            undo.problem = folder.in(journal, folder.backup_at(i)) + " is not the older backup's";
        }
        // A backup that is a second link of the database has the database's identity: where
        // the database still stands at its own name, the backup name holds the older backup.
        const bool backup_is_live = same(seen.backup[i], record.live[i]) && !live_stays[i];
        const bool backup_is_older = same(seen.backup[i], record.older[i]) && !older_aside;
        undo.live_back[i] = backup_is_live;
        stranger_at_backup |= seen.backup[i] && !backup_is_live && !backup_is_older;
        if (older_aside && seen.backup[i] && !backup_is_live) {
            undo.problem = folder.at(folder.backup_at(i)) + " is taken";
        }
        undo.older_back[i] = older_aside;
        if (seen.live[i] && !live_stays[i]) undo.in_the_way.push_back(i);
    }
    if (stranger_at_backup && any(undo.older_back)) {
        undo.problem = "a file that is not the older backup's stands at the backup names";
    }
    if (!seen.strangers.empty()) {
        undo.problem = folder.in(journal, seen.strangers.front()) + " is not the older backup's";
    }
    if (!any(live_stays) && !any(undo.live_back)) undo.in_the_way.clear();  // nothing to pair with
    return undo;
}

// Why the older backup may not be deleted yet, or nothing: the proof is the whole live set,
// entry by entry, standing under the backup names.
std::string discard_problem(const Folder& folder, const Journal& journal, const Record& record,
                            const Observed& seen) {
    for (std::size_t i = 0; i < SET_SIZE; ++i) {
        if (record.live[i] && !same(seen.backup[i], record.live[i])) {
            return folder.at(folder.backup_at(i)) + " does not hold what the database left there";
        }
        if (seen.journal[i] && !same(seen.journal[i], record.older[i])) {
            return folder.in(journal, folder.backup_at(i)) + " is not the older backup's";
        }
    }
    if (!seen.strangers.empty()) {
        return folder.in(journal, seen.strangers.front()) + " is not the older backup's";
    }
    return {};
}

// ---- carrying it out ----

// Entries of ours at the live names, or ours going there, must not meet anything else there: it
// is set aside together, under a free name that pairs with nothing of ours. Returns the moves.
std::vector<std::pair<std::string, std::string>> set_aside(const Folder& folder,
                                                           const std::vector<std::size_t>& which,
                                                           const std::string& base) {
    std::vector<std::pair<std::string, std::string>> moved;
    if (which.empty()) return moved;
    const std::string aside = folder.free_set_aside_name();
    for (const std::size_t i : which) {
        folder.move(base + SET_SUFFIXES[i], aside + SET_SUFFIXES[i]);
        moved.emplace_back(folder.at(base + SET_SUFFIXES[i]), folder.at(aside + SET_SUFFIXES[i]));
    }
    folder.sync();
    return moved;
}

// A locked entry would stop the undo half-way: it is found before anything moves.
void refuse_locked(const Folder& folder, const Journal& journal, const Undo& undo) {
    const auto refuse = [&](int dir, const std::string& name, const std::string& shown) {
        const char* flag = nullptr;
        if (platform::lock_flag(dir, name.c_str(), flag) && flag != nullptr) {
            throw fs_error(EPERM, std::string("Locked (") + flag + ")", shown);
        }
    };
    for (const std::size_t i : undo.in_the_way)
        refuse(folder.fd(), folder.live_at(i), folder.at(folder.live_at(i)));
    for (std::size_t i = 0; i < SET_SIZE; ++i) {
        const std::string name = folder.backup_at(i);
        if (undo.live_back[i]) refuse(folder.fd(), name, folder.at(name));
        if (undo.older_back[i]) refuse(journal.fd.get(), name, folder.in(journal, name));
    }
}

DatabaseRestore carry_out(const Folder& folder, const Journal& journal, const Undo& undo) {
    refuse_locked(folder, journal, undo);
    DatabaseRestore restore;
    restore.set_aside = set_aside(folder, undo.in_the_way, folder.live);
    for (std::size_t i = 0; i < SET_SIZE; ++i) {
        if (!undo.live_back[i]) continue;
        folder.move(folder.backup_at(i), folder.live_at(i));
        if (i == 0) {
            restore.database_back = true;
        } else {
            restore.sidecars.emplace_back(SET_SUFFIXES[i]);
        }
    }
    folder.sync();
    for (std::size_t i = 0; i < SET_SIZE; ++i) {
        if (!undo.older_back[i]) continue;
        const std::string name = folder.backup_at(i);
        folder.move(journal.fd.get(), name, folder.fd(), name, folder.in(journal, name),
                    folder.at(name));
        restore.older_backup_back = true;
    }
    folder.sync();
    folder.sync(journal.fd.get(), folder.at(journal.name));
    folder.end(journal);
    return restore;
}

void carry_out_discard(const Folder& folder, Journal& journal, const Observed& seen) {
    if (journal.name != DISCARD_JOURNAL) folder.advance(journal, DISCARD_JOURNAL);
    for (std::size_t i = 0; i < SET_SIZE; ++i) {
        if (!seen.journal[i]) continue;
        const std::string name = folder.backup_at(i);
        folder.remove(journal.fd.get(), name, 0, folder.in(journal, name));
    }
    folder.sync(journal.fd.get(), folder.at(journal.name));
    folder.end(journal);
}

// Why an undo that may not set aside what stands in its way cannot be done, or nothing.
std::string undo_problem(const Folder& folder, const Undo& undo) {
    if (!undo.problem.empty() || undo.in_the_way.empty()) return undo.problem;
    return folder.at(folder.live_at(undo.in_the_way.front())) +
           " is not the database's, and would pair with it";
}

// Undoes whatever of a move stands on disk; what it set out to do plays no part.
void undo_as_found(const Folder& folder, const Journal& journal, const Record& record) {
    const Undo undo = plan_undo(folder, journal, record, observe(folder, journal));
    if (const std::string problem = undo_problem(folder, undo); !problem.empty()) {
        throw fs_error(EEXIST, "Cannot put the database back: " + problem, folder.at(journal.name));
    }
    (void)carry_out(folder, journal, undo);
}

// Runs `step`; when it fails, runs `undo` and throws the step's error. When the undo fails too,
// the journal stays for the next run, and the error says both.
template <class Step, class Undo>
void or_undo(Step step, Undo undo) {
    try {
        step();
    } catch (const std::system_error& error) {
        try {
            undo();
        } catch (const std::system_error& undo_error) {
            throw fs_error(error.code().value(),
                           std::string(error.what()) + "; putting it back failed too",
                           undo_error.what());
        }
        throw;
    }
}

// The journal in which a move begins: nothing moves on its account until its record is whole and
// durable, and it has taken the name under which a cut-short move is undone.
Journal begin(const Folder& folder) {
    if (::mkdirat(folder.fd(), NEW_JOURNAL, 0700) != 0) {
        const int error = errno;
        throw fs_error(error, folder.at(NEW_JOURNAL));
    }
    return folder.open_journal(NEW_JOURNAL);
}

// True when the database is a link that resolves to the backup: the data already stands there.
bool links_to_backup(const std::string& db, const std::string& backup) {
    struct stat status {};
    return ::lstat(db.c_str(), &status) == 0 && S_ISLNK(status.st_mode) &&
           real_path(db) == real_path(backup);
}

std::string link_target(const std::string& path) {
    std::string target(256, '\0');
    for (;;) {
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length < 0) {
            const int error = errno;
            throw fs_error(error, path);
        }
        if (static_cast<std::size_t>(length) < target.size()) {
            target.resize(static_cast<std::size_t>(length));
            return target;
        }
        target.resize(target.size() * 2);
    }
}

// Whose entry stands at `path`, for a report of what a cut-short move left.
std::string found_line(const std::string& path, const std::optional<Identity>& id,
                       const Record* record, std::size_t i) {
    const char* whose = "another file";
    if (record != nullptr && same(id, record->live[i])) whose = "the database";
    if (record != nullptr && same(id, record->older[i])) whose = "the older backup";
    return path + " (" + whose + ")";
}

std::vector<std::string> found_lines(const Folder& folder, const Journal& journal,
                                     const Record* record, const Observed& seen) {
    std::vector<std::string> found;
    for (std::size_t i = 0; i < SET_SIZE; ++i) {
        if (seen.live[i])
            found.push_back(found_line(folder.at(folder.live_at(i)), seen.live[i], record, i));
        if (seen.backup[i])
            found.push_back(found_line(folder.at(folder.backup_at(i)), seen.backup[i], record, i));
        if (seen.journal[i])
            found.push_back(
                found_line(folder.in(journal, folder.backup_at(i)), seen.journal[i], record, i));
    }
    for (const std::string& name : seen.strangers)
        found.push_back(folder.in(journal, name) + " (another file)");
    return found;
}

// Everything known about a cut-short move, and what putting it right takes.
struct Inspection {
    CutShortMove result;
    Journal journal;
    std::optional<Record> record;
    Observed seen;
    Undo undo;
};

Inspection inspect(const Folder& folder) {
    Inspection inspection;
    CutShortMove& result = inspection.result;
    const std::vector<const char*> present = folder.journals_present();
    if (present.empty()) return inspection;
    result.journal = folder.at(present.front());
    const auto cannot_tell = [&](std::string problem) {
        result.recovery = Recovery::cannot_tell;
        result.problem = std::move(problem);
    };
    try {
        inspection.journal = folder.open_journal(present.front());
        inspection.record = read_record(folder, inspection.journal);
        inspection.seen = observe(folder, inspection.journal);
    } catch (const std::system_error& error) {
        // A journal that cannot be looked into may hold the older backup: nothing may go ahead
        // of it, neither the bundle's removal nor a move beside it.
        cannot_tell(error.what());
        return inspection;
    }
    result.found = found_lines(folder, inspection.journal,
                               inspection.record ? &*inspection.record : nullptr, inspection.seen);
    const Journal& journal = inspection.journal;
    const Observed& seen = inspection.seen;
    const bool empty =
        seen.strangers.empty() &&
        std::ranges::none_of(seen.journal, [](const auto& id) { return id.has_value(); });
    if (present.size() > 1) {
        cannot_tell("two JOURNALS stand beside the database");
    } else if (journal.name == NEW_JOURNAL || !inspection.record) {
        // Nothing moves before the record is whole; a journal without one holds nothing of ours.
        if (empty) {
            result.recovery = Recovery::cleared_unused_journal;
        } else {
            cannot_tell("the journal holds files but no whole record of them");
        }
    } else if (journal.name == DISCARD_JOURNAL) {
        const std::string problem = discard_problem(folder, journal, *inspection.record, seen);
        if (problem.empty()) {
            result.recovery = Recovery::finished_backup;
        } else {
            cannot_tell(problem);
        }
    } else {
        inspection.undo = plan_undo(folder, journal, *inspection.record, seen);
        const Undo& undo = inspection.undo;
        if (std::string problem = undo_problem(folder, undo); !problem.empty()) {
            cannot_tell(std::move(problem));
        } else if (any(undo.live_back)) {
            result.recovery = Recovery::undid_backup;
        } else if (any(undo.older_back)) {
            result.recovery = Recovery::restored_older_backup;
        } else {
            result.recovery = Recovery::cleared_unused_journal;
        }
    }
    return inspection;
}

// The journal `name` of a move that is under way in this run, with its record.
std::optional<std::pair<Journal, Record>> move_under_way(const Folder& folder,
                                                         const char* name = MOVING_JOURNAL) {
    if (!folder.identity(name)) return std::nullopt;
    Journal journal = folder.open_journal(name);
    std::optional<Record> record = read_record(folder, journal);
    if (!record) {
        throw fs_error(ENOENT, "The journal of the database's move has no record", folder.at(name));
    }
    return std::pair{std::move(journal), *record};
}

std::vector<std::string> without_main(const SetIdentities& set) {
    std::vector<std::string> suffixes;
    for (std::size_t i = 1; i < SET_SIZE; ++i) {
        if (set[i]) suffixes.emplace_back(SET_SUFFIXES[i]);
    }
    return suffixes;
}

bool is_wal_database(const std::string& db) {
    const unique_fd file(::open(db.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!file.valid() || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return false;
    }
    // The header's first 16 bytes name the format; bytes 18 and 19 are 2 in WAL mode.
    unsigned char header[20] = {};
    if (::pread(file.get(), header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
        return false;
    }
    return std::memcmp(header, "SQLite format 3", 16) == 0 && header[18] == 2 && header[19] == 2;
}

}  // namespace

std::vector<std::string> sidecars_of(const std::string& db) {
    std::vector<std::string> present;
    for (const char* suffix : SIDECAR_SUFFIXES) {
        const PathCheck check = check_path(db + suffix);
        if (check.error != 0) throw fs_error(check.error, db + suffix);
        if (check.present) present.emplace_back(suffix);
    }
    return present;
}

void check_database_shape(const std::string& db, const std::string& backup, bool reserve) {
    struct stat status {};
    if (::stat(db.c_str(), &status) != 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) return;
        throw fs_error(error, db);
    }
    if (S_ISDIR(status.st_mode)) throw fs_error(EISDIR, db);
    if (!S_ISREG(status.st_mode)) throw fs_error(EINVAL, "Not a regular file", db);
    std::string name;
    const std::string folder = parent_of(db, name);
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        const int error = errno;
        throw fs_error(error, folder);
    }
    const auto refuse_locked = [](const std::string& path) {
        const char* flag = nullptr;
        if (platform::lock_flag(AT_FDCWD, path.c_str(), flag) && flag != nullptr) {
            throw fs_error(EPERM, std::string("Locked (") + flag + ")", path);
        }
    };
    refuse_locked(folder);
    for (const std::string& base : {db, backup}) {
        for (const char* suffix : SET_SUFFIXES) {
            const std::string path = base + suffix;
            if (::lstat(path.c_str(), &status) != 0) {
                const int error = errno;
                if (error == ENOENT) continue;
                throw fs_error(error, path);
            }
            if (S_ISDIR(status.st_mode)) throw fs_error(EISDIR, path);
            refuse_locked(path);
        }
    }
    if (!reserve) return;
    const std::string journal = folder + "/" + NEW_JOURNAL;
    if (::mkdir(journal.c_str(), 0700) != 0 || ::rmdir(journal.c_str()) != 0) {
        const int error = errno;
        throw fs_error(error, journal);
    }
}

bool fold_sidecars(const std::string& db) {
    if (sidecars_of(db).empty()) return true;
    struct stat status {};
    if (::lstat((db + "-journal").c_str(), &status) == 0 || !is_wal_database(db)) {
        return sidecars_of(db).empty();
    }
    sqlite3* handle = nullptr;
    // No waiting: a database that someone holds open is not ours to close.
    if (::sqlite3_open_v2(db.c_str(), &handle,
                          SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_PRIVATECACHE,
                          nullptr) == SQLITE_OK) {
        // On macOS only F_FULLFSYNC reaches the disk itself.
        (void)::sqlite3_exec(handle,
                             "PRAGMA fullfsync=1; PRAGMA checkpoint_fullfsync=1; "
                             "PRAGMA wal_checkpoint(TRUNCATE)",
                             nullptr, nullptr, nullptr);
    }
    // The last connection to close checkpoints once more and removes the log and its index.
    (void)::sqlite3_close(handle);
    std::string name;
    const unique_fd folder(::open(parent_of(db, name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid()) (void)platform::sync_to_disk(folder.get());
    return sidecars_of(db).empty();
}

std::optional<DatabaseMove> move_database(const std::string& db, const std::string& backup) {
    const Folder folder(db, backup);
    if (!folder.there()) return std::nullopt;
    if (const std::vector<const char*> pending = folder.journals_present(); !pending.empty()) {
        throw fs_error(EEXIST, "An interrupted move of the database must be put right first",
                       folder.at(pending.front()));
    }
    check_database_shape(db, backup, false);
    if (!folder.identity(folder.live)) return std::nullopt;
    if (links_to_backup(db, backup)) {
        DatabaseMove moved{{}, {}, true, link_target(db)};
        folder.remove(folder.fd(), folder.live, 0, db);
        folder.sync();
        return moved;
    }
    const Record record{folder.set(folder.live), folder.set(folder.backup)};
    DatabaseMove moved{without_main(record.live), {}, false, {}};
    // A dangling link at the backup name is in the way, but it is no backup.
    for (std::size_t i = 0; i < SET_SIZE; ++i) {
        if (record.older[i] && path_exists(backup + SET_SUFFIXES[i]))
            moved.replaced.push_back(backup + SET_SUFFIXES[i]);
    }
    Journal journal = begin(folder);
    or_undo(
        [&] {
            write_record(folder, journal, record);
            folder.advance(journal, MOVING_JOURNAL);
            for (std::size_t i = 0; i < SET_SIZE; ++i) {
                if (!record.older[i]) continue;
                const std::string name = folder.backup_at(i);
                folder.move(folder.fd(), name, journal.fd.get(), name, folder.at(name),
                            folder.in(journal, name));
            }
            folder.sync(journal.fd.get(), folder.at(journal.name));
            folder.sync();
            for (std::size_t i = 0; i < SET_SIZE; ++i) {
                if (record.live[i]) folder.move(folder.live_at(i), folder.backup_at(i));
            }
            folder.sync();
        },
        [&] { undo_as_found(folder, journal, record); });
    return moved;
}

DatabaseRestore move_database_back(const std::string& db, const std::string& backup) {
    const Folder folder(db, backup);
    if (!folder.there()) throw fs_error(ENOENT, db);
    std::optional<std::pair<Journal, Record>> under_way = move_under_way(folder);
    if (!under_way) {
        throw fs_error(ENOENT, "No journal of the database's move", folder.at(MOVING_JOURNAL));
    }
    const auto& [journal, record] = *under_way;
    const Undo undo = plan_undo(folder, journal, record, observe(folder, journal));
    if (!undo.problem.empty()) {
        throw fs_error(EEXIST, "Cannot put the database back: " + undo.problem,
                       folder.at(journal.name));
    }
    return carry_out(folder, journal, undo);
}

void restore_database_link(const std::string& db, const std::string& target) {
    const Folder folder(db, db);
    if (!folder.there()) throw fs_error(ENOENT, db);
    std::vector<std::size_t> in_the_way;
    if (folder.identity(folder.live)) in_the_way.push_back(0);
    (void)set_aside(folder, in_the_way, folder.live);
    if (::symlinkat(target.c_str(), folder.fd(), folder.live.c_str()) != 0) {
        const int error = errno;
        throw fs_error(error, db);
    }
    folder.sync();
}

void discard_older_backup(const std::string& db, const std::string& backup) {
    const Folder folder(db, backup);
    if (!folder.there()) return;
    std::optional<std::pair<Journal, Record>> under_way = move_under_way(folder);
    // An earlier attempt of this run may have failed after the journal took its last name.
    if (!under_way) under_way = move_under_way(folder, DISCARD_JOURNAL);
    if (!under_way) return;
    auto& [journal, record] = *under_way;
    const Observed seen = observe(folder, journal);
    const std::string problem = discard_problem(folder, journal, record, seen);
    if (!problem.empty()) {
        throw fs_error(EEXIST, "The older backup was kept: " + problem, folder.at(journal.name));
    }
    carry_out_discard(folder, journal, seen);
}

std::vector<std::pair<std::string, std::string>> set_aside_lone_sidecars(const std::string& db,
                                                                         bool dry_run) {
    const Folder folder(db, db);
    if (!folder.there() || folder.identity(folder.live)) return {};
    std::vector<std::size_t> lone;
    for (std::size_t i = 1; i < SET_SIZE; ++i) {
        if (folder.identity(folder.live_at(i))) lone.push_back(i);
    }
    if (!dry_run) return set_aside(folder, lone, folder.live);
    std::vector<std::pair<std::string, std::string>> named;
    const std::string aside = lone.empty() ? std::string() : folder.free_set_aside_name();
    for (const std::size_t i : lone)
        named.emplace_back(folder.at(folder.live_at(i)), folder.at(aside + SET_SUFFIXES[i]));
    return named;
}

CutShortMove inspect_database_move(const std::string& db, const std::string& backup) {
    const Folder folder(db, backup);
    if (!folder.there()) return {};
    return inspect(folder).result;
}

CutShortMove recover_database_move(const std::string& db, const std::string& backup) {
    const Folder folder(db, backup);
    if (!folder.there()) return {};
    Inspection inspection = inspect(folder);
    switch (inspection.result.recovery) {
        case Recovery::none:
        case Recovery::cannot_tell:
            break;
        case Recovery::cleared_unused_journal:
            folder.end(inspection.journal);
            break;
        case Recovery::finished_backup:
            carry_out_discard(folder, inspection.journal, inspection.seen);
            break;
        case Recovery::restored_older_backup:
        case Recovery::undid_backup:
            (void)carry_out(folder, inspection.journal, inspection.undo);
            break;
    }
    return inspection.result;
}

}  // namespace brinvast
