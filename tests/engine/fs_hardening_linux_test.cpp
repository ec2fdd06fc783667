// SPDX-License-Identifier: MIT
// The file-system core under pressure that only Linux can arrange: huge and deep trees, a low
// descriptor limit, flat memory, a file system without d_type, an attacker swapping a directory
// for a link, read-only and foreign mounts, and an ancestor locked at a known point of a walk.
// Most cases run in a forked child with a mount namespace of its own, so that big trees live on a
// throw-away tmpfs (ext4 here creates files far too slowly) and nothing mounted outlives the
// child.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "engine_test.h"
#include "fs.h"
#include "linux_tools.h"
#include "test_tree.h"
#include "uninstaller.h"
#include "unique_fd.h"

namespace brinvast {
namespace {

using namespace testing;  // brinvast::testing: the shared tree helpers

// Runs `body` in a forked child, whose failed expectations print as they happen and whose exit
// status says whether there were any. A watchdog turns a hang (on a FIFO, say) into a failure.
void in_child(const std::function<void()>& body) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(120);
        try {
            body();
        } catch (const std::exception& error) {
            ADD_FAILURE() << "escaped: " << error.what();
        }
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), 0)
        << "the child's failures are listed above";
}

unique_fd open_dir(int at, const char* name) {
    return unique_fd(::openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

void make_file_at(int dir_fd, const char* name, off_t size) {
    const unique_fd file(::openat(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    ASSERT_TRUE(file.valid()) << name;
    ASSERT_EQ(::ftruncate(file.get(), size), 0);
}

// Fills `dir_fd` with `count` files, file i holding i % 3 bytes, without touching the heap.
std::uint64_t fill(int dir_fd, int count) {
    std::uint64_t bytes = 0;
    for (int i = 0; i < count; ++i) {
        make_file_at(dir_fd, std::to_string(i).c_str(), i % 3);
        bytes += i % 3;
    }
    return bytes;
}

// A chain of `depth` directories "d", one descriptor at a time: its path is far beyond
// PATH_MAX. Every 5000th level also holds "s/f" (7 bytes), met only after climbing back.
void make_chain(const std::string& root, int depth) {
    unique_fd dir(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (int level = 0; level < depth; ++level) {
        if (level % 5000 == 0) {
            ASSERT_EQ(::mkdirat(dir.get(), "s", 0755), 0);
            make_file_at(open_dir(dir.get(), "s").get(), "f", 7);
        }
        ASSERT_EQ(::mkdirat(dir.get(), "d", 0755), 0);
        dir = open_dir(dir.get(), "d");
    }
}

long peak_kib() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST(FsScale, DeepAndWideTreesAreSurveyedAndRemovedUnderALowDescriptorLimit) {
    TempDir tmp;
    in_child([&] {
        ASSERT_TRUE(private_tmpfs(tmp.path()));
        make_dirs(tmp / "deep");
        make_chain(tmp / "deep", 20000);
        make_dirs(tmp / "wide");
        const unique_fd wide = open_dir(AT_FDCWD, (tmp / "wide").c_str());
        const std::uint64_t bytes = fill(wide.get(), 199000);
        for (int i = 0; i < 1000; ++i) {
            ASSERT_EQ(::mkdirat(wide.get(), ("dir" + std::to_string(i)).c_str(), 0755), 0);
        }
        const struct rlimit low = {64, 64};
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
        const std::pair<const char*, Counts> cases[] = {{"deep", {4, 20004, 28}},
                                                        {"wide", {199000, 1000, bytes}}};
        for (const auto& [name, expected] : cases) {
            EXPECT_EQ(counts(survey_tree(tmp / name)), expected) << name;
            EXPECT_TRUE(remove_tree(tmp / name));
            EXPECT_FALSE(exists_no_follow(tmp / name)) << name;
        }
    });
}

TEST(FsScale, SurveyPeakMemoryStaysFlatAsTheTreeGrows) {
    TempDir tmp;
    in_child([&] {
        ASSERT_TRUE(private_tmpfs(tmp.path()));
        const unique_fd root = open_dir(AT_FDCWD, tmp.path().c_str());
        int built = 0;
        const auto grow_to = [&](int dirs) {
            for (; built < dirs; ++built) {
                const std::string name = std::to_string(built);
                ASSERT_EQ(::mkdirat(root.get(), name.c_str(), 0755), 0);
                fill(open_dir(root.get(), name.c_str()).get(), 1000);
            }
        };
        grow_to(20);
        EXPECT_EQ(survey_tree(tmp.path()).file_count, 20000u);
        const long small = peak_kib();
        grow_to(200);
        EXPECT_EQ(survey_tree(tmp.path()).file_count, 200000u);
        const long large = peak_kib();
        // A byte or two kept per file would show as hundreds of KiB; the allowance covers what
        // one more call keeps (a sanitizer's quarantine holds on to its freed buffers).
        EXPECT_LT(large - small, 512) << "KiB gained from 20,000 to 200,000 files";

        // The measure sees growth at this point: a freshly touched MiB shows in it.
        constexpr std::size_t mib = 1 << 20;
        void* probe =
            ::mmap(nullptr, mib, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(probe, MAP_FAILED);
        std::memset(probe, 1, mib);
        EXPECT_GE(peak_kib() - large, 768);
        ::munmap(probe, mib);
    });
}

// True when every entry of `dir` has the type DT_UNKNOWN.
bool untyped(const std::string& dir) {
    DIR* listing = ::opendir(dir.c_str());
    bool all_unknown = listing != nullptr;
    while (const dirent* entry = listing ? ::readdir(listing) : nullptr) {
        all_unknown = all_unknown && entry->d_type == DT_UNKNOWN;
    }
    if (listing) ::closedir(listing);
    return all_unknown;
}

TEST(FsHardening, EntriesOfUnknownTypeAreSurveyedAndRemovedLikeTypedOnes) {
    TempDir tmp;
    const std::string image = tmp / "untyped.img";
    const std::string mount_point = tmp / "mnt";
    const std::string tree = mount_point + "/tree";
    // ext2 without its filetype feature lists every entry as DT_UNKNOWN.
    ASSERT_EQ(std::system(("truncate -s 16M '" + image +
                           "' && mke2fs -q -t ext2 -O ^filetype -F '" + image + "'")
                              .c_str()),
              0);
    make_dirs(mount_point);
    write_file(tmp / "outside/sentinel", 8);
    in_child([&] {
        ASSERT_TRUE(enter_private_mounts());
        ASSERT_EQ(std::system(("mount -o loop '" + image + "' '" + mount_point + "'").c_str()), 0);
        write_file(tree + "/file", 10);
        write_file(tree + "/a/b/c/deep", 20);
        ASSERT_TRUE(make_link(tmp / "outside", tree + "/to-dir"));
        ASSERT_TRUE(make_link("file", tree + "/to-file"));
        ASSERT_TRUE(make_link("gone", tree + "/dangling"));
        ASSERT_TRUE(untyped(tree));
        EXPECT_EQ(counts(survey_tree(tree)), (Counts{4, 4, 40}));
        EXPECT_TRUE(remove_tree(tree));
        EXPECT_FALSE(exists_no_follow(tree));
    });
    EXPECT_EQ(inventory(tmp / "outside"), std::set<std::string>{"sentinel:8"});
}

// One move of the attacker: trade the tree's `victim` for the link at `stage`, or back. When the
// removal has taken one side away, the other goes back in and a fresh link is laid.
int attack(const std::string& stage, const std::string& victim, const std::string& outside) {
    if (::renameat2(AT_FDCWD, stage.c_str(), AT_FDCWD, victim.c_str(), RENAME_EXCHANGE) == 0) {
        return 1;
    }
    const int moved = ::rename(stage.c_str(), victim.c_str()) == 0 ? 1 : 0;
    if (!exists_no_follow(stage)) (void)make_link(outside, stage);
    return moved;
}

TEST(FsHardening, SubdirectorySwappedForALinkNeverLeadsRemovalOutside) {
    TempDir tmp;
    in_child([&] {
        ASSERT_TRUE(private_tmpfs(tmp.path()));
        const std::string outside = tmp / "outside";
        write_file(outside + "/sentinel", 8);
        write_file(outside + "/keep/inner", 3);
        const std::set<std::string> kept = {"keep:dir", "keep/inner:3", "sentinel:8"};
        int swaps = 0;
        for (int round = 0; round < 250; ++round) {
            const std::string base = tmp / ("round" + std::to_string(round));
            const std::string tree = base + "/tree";
            const std::string victim = tree + "/a/victim";
            make_dirs(victim);
            // Files listed after the victim widen the gap between seeing it and entering it.
            fill(open_dir(AT_FDCWD, (tree + "/a").c_str()).get(), 200);
            fill(open_dir(AT_FDCWD, victim.c_str()).get(), 100);
            make_chain(victim, 40);  // deep enough to climb back through ".."
            ASSERT_TRUE(make_link(outside, base + "/stage"));
            {
                const std::jthread attacker([&](const std::stop_token& stop) {
                    while (!stop.stop_requested()) {
                        swaps += attack(base + "/stage", victim, outside);
                    }
                });
                try {
                    EXPECT_TRUE(remove_tree(tree));
                    EXPECT_FALSE(exists_no_follow(tree));
                } catch (const fs_error&) {
                    // A lost race may fail the removal; it must never leave the tree.
                }
            }
            ASSERT_EQ(inventory(outside), kept) << "round " << round;
        }
        EXPECT_GT(swaps, 0);
    });
}

using ReadOnlyMount = EngineTest;

TEST_F(ReadOnlyMount, ProductDirectoryFailsAloneAndTheRemovalIsPartial) {
    const Files kept{{"kept.txt", bytes(10)}};
    install({.support = kept, .documents = kept, .logs = kept});
    in_child([&] {
        // The folder above is mounted read-only: a mount at the product directory itself would
        // be refused before anything is tried.
        const std::string above = std::filesystem::path(documents).parent_path();
        ASSERT_TRUE(enter_private_mounts());
        ASSERT_EQ(::mount(above.c_str(), above.c_str(), nullptr, MS_BIND, nullptr), 0);
        ASSERT_EQ(
            ::mount(nullptr, above.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0);
        EXPECT_FALSE(engine(false, true).remove_all_directories());
        const std::vector<std::string> lines = printed();
        ASSERT_GE(lines.size(), 5u);
        EXPECT_EQ(std::vector<std::string>(lines.end() - 5, lines.end()),
                  (std::vector<std::string>{
                      "✅ Removed directory: " + support,
                      "❌ Failed to remove directory " + documents +
                          ": Read-only file system: " + documents + "/kept.txt",
                      "✅ Removed directory: " + logs,
                      "",
                      "⚠️  Partial success: removed 2 of 3 directories",
                  }));
    });
    EXPECT_FALSE(exists_no_follow(support));
    EXPECT_FALSE(exists_no_follow(logs));
    EXPECT_TRUE(exists_no_follow(documents + "/kept.txt"));
}

// Mounts inside what is removed: the home itself bind-mounted into the documents folder (one
// device, so only the mount tells it apart), a tmpfs inside the bundle, and a tmpfs over the
// logs folder itself. Nothing on them is touched, the survey leaves them out as du -x does, and
// each removal fails naming the mount point while its siblings still go.
using OneFileSystem = EngineTest;

TEST_F(OneFileSystem, RemovalAndSurveyNeverEnterAnotherMount) {
    const std::string home = root / "home";
    write_file(home + "/letter.txt", 5);
    install({.app = {{"Contents/Info.plist", bytes(4)}},
             .support = {{"kept.txt", bytes(10)}},
             .documents = {{"notes.txt", bytes(10)}}});
    make_dirs(app + "/Contents/Volume");
    make_dirs(documents + "/home-again");
    make_dirs(logs);

    in_child([&] {
        ASSERT_TRUE(enter_private_mounts());
        ASSERT_EQ(
            ::mount(home.c_str(), (documents + "/home-again").c_str(), nullptr, MS_BIND, nullptr),
            0);
        for (const std::string& at : {app + "/Contents/Volume", logs}) {
            ASSERT_EQ(::mount("other", at.c_str(), "tmpfs", 0, nullptr), 0);
            write_file(at + "/theirs", 1048576);
        }
        std::ostringstream report;
        BrinvastUninstaller& uninstaller = engine(false, true, report.rdbuf());
        EXPECT_FALSE(uninstaller.remove_application());
        EXPECT_FALSE(uninstaller.remove_all_directories());
        const std::string mounted = "Another file system is mounted here: ";
        const std::vector<std::string> expected = {
            "🚀 Brinvast Uninstaller initialized (dry_run=False, force=True, clean_all=True)",
            "📱 Found Brinvast.app at: " + app,
            "❌ Failed to remove application: " + mounted + app + "/Contents/Volume",
            "📁 Found directory: " + support,
            "   Files: 1, Dirs: 0, Size: 0.00 MB",
            "📁 Found directory: " + documents,
            "   Files: 1, Dirs: 1, Size: 0.00 MB",
            "📁 Found directory: " + logs,
            "   Files: 1, Dirs: 0, Size: 1.00 MB",
            "",
            "🗂️  Found 3 Brinvast directories to remove:",
            "   📁 " + support + " (1 files, 0.00 MB)",
            "   📁 " + documents + " (1 files, 0.00 MB)",
            "   📁 " + logs + " (1 files, 1.00 MB)",
            "",
            "📊 Total: 3 files, 1.00 MB",
            "✅ Removed directory: " + support,
            "❌ Failed to remove directory " + documents + ": " + mounted + documents +
                "/home-again",
            "❌ Failed to remove directory " + logs + ": " + mounted + logs,
            "",
            "⚠️  Partial success: removed 1 of 3 directories",
        };
        EXPECT_EQ(lines_of(report.str()), expected);
        for (const std::string& theirs :
             {home + "/letter.txt", app + "/Contents/Volume/theirs", logs + "/theirs"}) {
            EXPECT_TRUE(exists_no_follow(theirs)) << theirs;
        }
        EXPECT_FALSE(exists_no_follow(support));
    });
    EXPECT_EQ(inventory(home),
              (std::set<std::string>{"Documents:dir", "Documents/Brinvast:dir",
                                     "Documents/Brinvast/home-again:dir", "Library:dir",
                                     "Library/Logs:dir", "Library/Logs/Brinvast:dir",
                                     "Library/Application Support:dir", "letter.txt:5"}));
}

// The time stamp is formatted before anything is printed: a directory whose modification time
// no calendar holds (tmpfs keeps one) gets only the error line, never its found lines.
using SurveyOrder = EngineTest;

TEST_F(SurveyOrder, AnalysisThatFailsPrintsNoFoundLines) {
    in_child([&] {
        ASSERT_TRUE(private_tmpfs(root.path()));
        install({.logs = {{"b.log", bytes(3)}}});
        const timespec far_future[2] = {{1LL << 60, 0}, {1LL << 60, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, logs.c_str(), far_future, 0), 0);
        const DirectoryInfoMap directory_info =
            engine(false, true).check_brinvast_directories_exist();
        const std::vector<std::string> lines = printed();
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0], "📁 Directory not found: " + support);
        EXPECT_EQ(lines[1], "📁 Directory not found: " + documents);
        EXPECT_TRUE(lines[2].starts_with("⚠️  Error analyzing directory " + logs + ": "))
            << lines[2];
        EXPECT_TRUE(directory_info[2].second.exists && directory_info[2].second.error &&
                    !directory_info[2].second.measured);
    });
}

// A deep walk lets the descriptors of far ancestors go and comes back to them through "..";
// an ancestor that has since lost its read permission is still reached, as only search
// permission is needed to remove what is left in it.
TEST(FsRemoveTree, ClimbsBackThroughAnAncestorThatCanNoLongerBeRead) {
    TempDir tmp;
    std::string deepest = tmp / "tree";
    for (int level = 0; level < 40; ++level)
        deepest += "/d";
    write_file(deepest + "/file", 1);
    const std::string ancestor = tmp / "tree/d/d/d";
    give_to_nobody(tmp.path());
    const OnFirstOpen lock_ancestor(deepest,
                                    [&] { ASSERT_EQ(::chmod(ancestor.c_str(), 0300), 0); });
    EXPECT_EQ(run_as_nobody([&] {
                  try {
                      EXPECT_TRUE(remove_tree(tmp / "tree"));
                  } catch (const fs_error& error) {
                      ADD_FAILURE() << error.what();
                  }
                  return ::testing::Test::HasFailure() ? 1 : 0;
              }),
              0);
    EXPECT_FALSE(exists_no_follow(tmp / "tree"));
}

// Where deleting entries makes a listing skip others, as on macOS's HFS+, SMB and exFAT, each
// folder is listed again until a pass finds nothing, the top one and those inside alike.
TEST(FsRemoveTree, ListsAgainWhereDeletionsMadeTheListingSkipEntries) {
    TempDir tmp;
    for (const char* folder : {"", "a/", "b/", "b/c/"}) {
        for (int i = 0; i < 100; ++i)
            write_file(tmp / "backing/tree/" + folder + std::to_string(i), 1);
    }
    make_dirs(tmp / "mnt");
    in_child([&] {
        ASSERT_TRUE(enter_private_mounts());
        const ShiftingMount mount(tmp / "backing", tmp / "mnt", "--skip-first-listing");
        ASSERT_EQ(mount.problem(), "");
        EXPECT_TRUE(remove_tree(tmp / "mnt/tree"));  // in_child reports what it throws
        EXPECT_FALSE(exists_no_follow(tmp / "backing/tree"));
    });
}

}  // namespace
}  // namespace brinvast
