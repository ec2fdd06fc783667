// SPDX-License-Identifier: MIT
// The file-system core at the edges of a tree: what counts as present, what removal refuses at
// the top, what a link inside leads to, where a refused removal stops, and Ctrl-C.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <utility>

#include "fs.h"
#include "interrupt.h"
#include "platform.h"
#include "test_tree.h"
#include "unique_fd.h"

namespace brinvast {
namespace {

using namespace testing;  // brinvast::testing: the shared tree helpers

// The errno and text of the error that remove_tree(path) throws; {0, ""} when it throws none.
std::pair<int, std::string> removal_error(const std::string& path) {
    try {
        (void)remove_tree(path);
    } catch (const fs_error& error) {
        return {error.error_number(), error.what()};
    }
    return {0, ""};
}

// The errno with which remove_file_at refuses `name` in `dir_fd`; 0 when it refuses nothing.
int unlink_error(int dir_fd, const std::string& name) {
    try {
        (void)remove_file_at(dir_fd, name, name);
    } catch (const fs_error& error) {
        return error.error_number();
    }
    return 0;
}

[[nodiscard]] int failures() {
    return ::testing::Test::HasFailure() ? 1 : 0;
}

// Absent only when nothing is there; what can't be examined may be there, and says why not.
TEST(FsPathExists, FollowsLinksAndCallsOnlyWhatIsNotThereAbsent) {
    TempDir tmp;
    write_file(tmp / "file");
    make_dirs(tmp / "dir");
    ASSERT_TRUE(make_link("file", tmp / "to-file"));
    ASSERT_TRUE(make_link("dir", tmp / "to-dir"));
    ASSERT_TRUE(make_link("missing", tmp / "dangling"));
    ASSERT_TRUE(make_link("loop", tmp / "loop"));
    const std::string too_long(300, 'n');
    const struct {
        std::string path;
        bool present;
        int error;
    } cases[] = {
        {tmp / "file", true, 0},
        {tmp / "dir", true, 0},
        {tmp / "to-file", true, 0},
        {tmp / "to-dir", true, 0},
        {tmp / "dangling", false, 0},
        {tmp / "loop", false, 0},
        {tmp / "missing", false, 0},
        {tmp / "file/x", false, 0},
        {"", false, 0},
        {tmp / "loop/x", true, ELOOP},
        {tmp / too_long, true, ENAMETOOLONG},
    };
    for (const auto& c : cases) {
        const PathCheck check = check_path(c.path);
        EXPECT_EQ(std::pair(check.present, check.error.value()), std::pair(c.present, c.error))
            << c.path;
    }

    write_file(tmp / "locked/file");
    give_to_nobody(tmp.path());
    ASSERT_EQ(::chmod((tmp / "locked").c_str(), 0), 0);
    ASSERT_TRUE(path_exists(tmp / "locked/file"));  // root looks past the missing permission
    EXPECT_EQ(run_as_nobody([&] {
                  EXPECT_TRUE(path_exists(tmp / "locked"));
                  EXPECT_EQ(check_path(tmp / "locked/file").error, std::errc::permission_denied);
                  EXPECT_TRUE(path_exists(tmp / "locked/file")) << "it may well be there";
                  return failures();
              }),
              0);
}

TEST(FsRemoveTree, RefusesAnythingButARealDirectoryAtTheTop) {
    TempDir tmp;
    write_file(tmp / "target/kept", 3);
    ASSERT_TRUE(make_link(tmp / "target", tmp / "link"));
    write_file(tmp / "plain", 3);
    ASSERT_EQ(::mkfifo((tmp / "pipe").c_str(), 0644), 0);  // opened by mistake, it would block
    const std::pair<std::string, std::pair<int, std::string>> cases[] = {
        {"link", {ELOOP, "Refusing to delete a symbolic link: " + tmp / "link"}},
        {"plain", {ENOTDIR, "Not a directory: " + tmp / "plain"}},
        {"pipe", {ENOTDIR, "Not a directory: " + tmp / "pipe"}},
    };
    for (const auto& [name, error] : cases) {
        EXPECT_EQ(removal_error(tmp / name), error);
        EXPECT_TRUE(exists_no_follow(tmp / name)) << name;
    }
    EXPECT_TRUE(exists_no_follow(tmp / "target/kept"));
}

TEST(FsRemoveTree, UnlinksLinksInsideWithoutFollowingThem) {
    TempDir tmp;
    write_file(tmp / "outside/sentinel", 5);
    write_file(tmp / "tree/a/file", 1);
    ASSERT_TRUE(make_link(tmp / "outside", tmp / "tree/a/to-dir"));
    ASSERT_TRUE(make_link(tmp / "outside/sentinel", tmp / "tree/to-file"));
    ASSERT_TRUE(make_link("nowhere", tmp / "tree/dangling"));
    EXPECT_TRUE(remove_tree(tmp / "tree"));
    EXPECT_FALSE(exists_no_follow(tmp / "tree"));
    EXPECT_EQ(std::filesystem::file_size(tmp / "outside/sentinel"), 5u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp / "outside"),
                            std::filesystem::directory_iterator{}),
              1);
}

// "lock" refuses the removal of its entries; "lock/sub/inner" lies beyond the first refusal.
TEST(FsRemoveTree, StopsAtTheFirstRefusedEntryAndNamesIt) {
    for (const int expected : {EACCES, EPERM}) {
        SCOPED_TRACE(std::strerror(expected));
        TempDir tmp;
        const std::string top = tmp / "top";
        write_file(top + "/lock/file");
        write_file(top + "/lock/sub/inner");
        const auto removal = [&] {
            EXPECT_EQ(
                removal_error(top),
                std::make_pair(expected, std::strerror(expected) + (": " + top) + "/lock/file"));
            EXPECT_TRUE(exists_no_follow(top + "/lock/sub/inner"));
            return failures();
        };
        if (expected == EACCES) {
            give_to_nobody(tmp.path());
            ASSERT_EQ(::chmod((top + "/lock").c_str(), 0555), 0);
            EXPECT_EQ(run_as_nobody(removal), 0);  // root would not be refused
        } else {
            const brinvast::testing::Immutable lock(top + "/lock");  // EPERM even for root
            ASSERT_TRUE(lock.applied());
            (void)removal();
        }
    }
}

// What was listed as a file may be a directory by the time it is unlinked; the walk then enters
// it. Linux's unlink refuses a directory with EISDIR; macOS's with EPERM, its answer for a locked
// file too, which must still fail the removal.
TEST(FsRemoveTree, RefusedUnlinkMeansADirectoryOnlyWhereOneStands) {
    TempDir tmp;
    make_dirs(tmp / "dir");
    write_file(tmp / "file");
    const unique_fd fd(::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    const struct {
        const char* name;
        int error;
        int directory_error;  // the platform's
        bool met;
    } cases[] = {
        {"dir", EISDIR, EISDIR, true}, {"dir", EPERM, EPERM, true},   {"file", EPERM, EPERM, false},
        {"gone", EPERM, EPERM, false}, {"dir", EPERM, EISDIR, false}, {"dir", EACCES, EPERM, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(unlink_met_directory(fd.get(), c.name, c.error, c.directory_error), c.met)
            << c.name << ", " << std::strerror(c.error) << " where a directory gives "
            << std::strerror(c.directory_error);
    }
}

// The descriptor of a folder reached beneath the home keeps to that folder, whatever its path
// leads to since: a link swapped in there leads nowhere.
TEST(FsRemoveTree, ThroughADescriptorRemovesWhereTheFolderWas) {
    TempDir tmp;
    write_file(tmp / "home/Library/Caches/app/file", 1);
    write_file(tmp / "home/Library/Caches/note", 1);
    write_file(tmp / "other/app/kept", 5);
    write_file(tmp / "other/note", 5);
    const unique_fd home(::open((tmp / "home").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const unique_fd caches =
        std::move(platform::open_folder_beneath(home.get(), "Library/Caches").value);
    ASSERT_TRUE(caches.valid());
    ASSERT_EQ(::rename((tmp / "home/Library/Caches").c_str(), (tmp / "moved").c_str()), 0);
    ASSERT_TRUE(make_link(tmp / "other", tmp / "home/Library/Caches"));
    EXPECT_EQ(counts(survey_tree_at(caches.get(), "app", "app")), (Counts{1, 0, 1}));
    EXPECT_EQ(unlink_error(caches.get(), "app"), platform::unlink_directory_error());
    EXPECT_TRUE(remove_file_at(caches.get(), "note", "note"));
    EXPECT_FALSE(remove_file_at(caches.get(), "note", "note")) << "nothing there any more";
    EXPECT_TRUE(remove_tree_at(caches.get(), "app", "app"));
    EXPECT_EQ(inventory(tmp / "moved"), std::set<std::string>{});
    EXPECT_EQ(inventory(tmp / "other"), (std::set<std::string>{"app:dir", "app/kept:5", "note:5"}));
}

// Every link on the way or at the end is refused, and so is a way out through "..". A folder
// that may be searched but not listed still opens, as nobody.
TEST(FsOpenBeneath, RefusesLinksAndWaysOutAndNeedsOnlySearchPermission) {
    TempDir tmp;
    write_file(tmp / "home/Library/file");
    make_dirs(tmp / "home/Library/Caches/app");
    make_dirs(tmp / "outside/Caches");
    ASSERT_TRUE(make_link(tmp / "outside", tmp / "home/Linked"));
    ASSERT_TRUE(make_link(tmp / "outside/Caches", tmp / "home/Library/Planted"));
    const unique_fd home(::open((tmp / "home").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::string absolute = tmp / "home/Library";
    const std::pair<const char*, int> cases[] = {
        {"Library/Caches/app", 0},   {"Linked/Caches", ELOOP},   {"Library/Planted", ELOOP},
        {"Library/file/x", ENOTDIR}, {"Library/gone/x", ENOENT}, {"Library/../Library", EINVAL},
        {absolute.c_str(), EINVAL},
    };
    for (const auto& [relative, error] : cases) {
        const Result<unique_fd> fd = platform::open_folder_beneath(home.get(), relative);
        EXPECT_EQ(fd.error.value(), error) << relative;
        EXPECT_EQ(fd.value.valid(), error == 0) << relative;
    }
    give_to_nobody(tmp.path());
    for (const char* folder : {"home/Library", "home/Library/Caches"})
        ASSERT_EQ(::chmod((tmp / folder).c_str(), 0111), 0) << folder;
    EXPECT_EQ(run_as_nobody([&] {
                  return platform::open_folder_beneath(home.get(), "Library/Caches").error.value();
              }),
              0);
}

// A tree that someone else removed first is gone, not a failure.
TEST(FsRemoveTree, NothingThereIsGoneRatherThanAnError) {
    TempDir tmp;
    write_file(tmp / "file");
    for (const char* name : {"missing", "missing/tree", "file/tree"}) {
        bool removed = true;
        EXPECT_NO_THROW(removed = remove_tree(tmp / name)) << name;
        EXPECT_FALSE(removed) << name;
    }
}

// Where rm -rf can delete, so can we, and without changing a mode: rmdir needs only write and
// search permission on the parent, not read permission on the directory or its parent. As
// nobody, over a tree that nobody owns.
TEST(FsRemoveTree, RemovesWhatRmCanWithoutReadPermission) {
    TempDir tmp;
    write_file(tmp / "tree/file", 1);
    make_dirs(tmp / "tree/sealed");
    make_dirs(tmp / "empty-top");
    write_file(tmp / "search-only/tree/file", 1);
    write_file(tmp / "full/kept", 1);
    give_to_nobody(tmp.path());
    const std::pair<std::string, mode_t> modes[] = {{tmp / "tree/sealed", 0},
                                                    {tmp / "empty-top", 0},
                                                    {tmp / "search-only", 0300},
                                                    {tmp / "full", 0}};
    for (const auto& [path, mode] : modes)
        ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
    EXPECT_EQ(run_as_nobody([&] {
                  for (const char* name : {"tree", "empty-top", "search-only/tree"}) {
                      EXPECT_EQ(removal_error(tmp / name), std::make_pair(0, std::string()))
                          << name;
                      EXPECT_FALSE(exists_no_follow(tmp / name)) << name;
                  }
                  // Not empty: rm can't either, and the open's refusal is what it says.
                  EXPECT_EQ(removal_error(tmp / "full"),
                            std::make_pair(EACCES, "Permission denied: " + tmp / "full"));
                  return failures();
              }),
              0);
    EXPECT_TRUE(exists_no_follow(tmp / "full/kept"));
}

// A folder the survey could not list is named, not taken for an empty one: the first
// UNLISTED_KEPT of them, and the count of all. As nobody, over a tree that nobody owns.
TEST(FsSurvey, NamesTheFoldersItCouldNotList) {
    TempDir tmp;
    write_file(tmp / "tree/open/file", 2);
    std::set<std::string> sealed;
    for (std::size_t i = 0; i <= TreeTotals::UNLISTED_KEPT; ++i)
        sealed.insert(tmp / ("tree/open/sealed" + std::to_string(i)));
    for (const std::string& path : sealed)
        make_dirs(path);
    give_to_nobody(tmp.path());
    for (const std::string& path : sealed)
        ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    EXPECT_EQ(run_as_nobody([&] {
                  const TreeTotals totals = survey_tree(tmp / "tree");
                  const std::set<std::string> named(totals.unlisted.begin(), totals.unlisted.end());
                  EXPECT_EQ(counts(totals), (Counts{1, sealed.size() + 1, 2}));
                  EXPECT_EQ(totals.unlisted_count, sealed.size());
                  EXPECT_EQ(named.size(), TreeTotals::UNLISTED_KEPT);
                  EXPECT_TRUE(std::ranges::includes(sealed, named));
                  return failures();
              }),
              0);
}

TEST(FsInterrupt, InsideAScopeSigintStopsRemovalAndSurveyBeforeTheFirstEntry) {
    TempDir tmp;
    write_file(tmp / "tree/a/file", 4);
    const InterruptScope scope;
    ASSERT_EQ(::raise(SIGINT), 0);  // with SIGINT's default disposition the test would end here
    EXPECT_THROW((void)survey_tree(tmp / "tree"), UserInterrupt);
    EXPECT_THROW((void)remove_tree(tmp / "tree"), UserInterrupt);
    EXPECT_TRUE(exists_no_follow(tmp / "tree/a/file"));
}

std::atomic<int> interrupts_seen{0};
extern "C" void count_interrupt(int) {
    ++interrupts_seen;
}

// Inside a scope every signal that ends a run is held back; one that nobody acted on reaches
// the previous disposition once the scope has ended, and one that was acted on does not.
TEST(FsInterrupt, OutsideAScopeEachSignalHasItsPreviousDisposition) {
    TempDir tmp;
    make_dirs(tmp / "tree");
    struct sigaction counting {};
    counting.sa_handler = count_interrupt;
    sigemptyset(&counting.sa_mask);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal_number);
        struct sigaction original {};
        ASSERT_EQ(::sigaction(signal_number, &counting, &original), 0);
        interrupts_seen = 0;
        {
            const InterruptScope scope;
            ASSERT_EQ(::raise(signal_number), 0);
            EXPECT_THROW((void)remove_tree(tmp / "tree"), UserInterrupt);
        }
        EXPECT_EQ(interrupts_seen, 0) << "the one acted on is spent";
        {
            const InterruptScope scope;
            ASSERT_EQ(::raise(signal_number), 0);
            ASSERT_EQ(::raise(signal_number), 0);
            EXPECT_EQ(interrupts_seen, 0) << "held back while the scope lives";
        }
        EXPECT_EQ(interrupts_seen, 1) << "remembered, and delivered once the scope has ended";
        EXPECT_NO_THROW((void)remove_tree(tmp / "tree"));  // the flag ended with its scope
        ::sigaction(signal_number, &original, nullptr);
        make_dirs(tmp / "tree");
    }
}

}  // namespace
}  // namespace brinvast
