// SPDX-License-Identifier: MIT
// The file-system core under pressure on any system: two removals racing over one tree, hostile
// names and odd files, and files changing during the survey. The cases that need Linux to
// arrange their pressure are in fs_hardening_linux_test.cpp.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/sysmacros.h>
#endif

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <latch>
#include <string>
#include <thread>

#include "fs.h"
#include "test_tree.h"
#include "unique_fd.h"

namespace brinvast {
namespace {

using namespace testing;  // brinvast::testing: the shared tree helpers

// Two removals of one tree delete entries from under each other: whatever one of them finds gone
// has vanished on its own, which is no error. However they interleave, and one may be done before
// the other starts, neither fails and the tree goes; a removal that finds nothing says so.
TEST(FsHardening, TwoRemovalsOfOneTreeBothSucceed) {
    TempDir tmp;
    for (int round = 0; round < 10; ++round) {
        const std::string tree = tmp / ("tree" + std::to_string(round));
        for (int i = 0; i < 100; ++i) {
            for (const char* file : {"/a", "/b"})
                write_file(tree + "/d" + std::to_string(i) + file, 1);
        }
        std::latch start(2);
        const auto removal = [&] {
            start.arrive_and_wait();
            return remove_tree(tree);
        };
        std::future<bool> other = std::async(std::launch::async, removal);
        bool mine = false;
        bool theirs = false;
        EXPECT_NO_THROW(mine = removal()) << "round " << round;
        EXPECT_NO_THROW(theirs = other.get()) << "round " << round;
        EXPECT_TRUE(mine || theirs) << "round " << round;
        EXPECT_FALSE(exists_no_follow(tree));
        EXPECT_FALSE(remove_tree(tree)) << "nothing left to remove";
    }
}

TEST(FsHardening, HostileNamesAndOddFilesAreCountedAndRemoved) {
    TempDir tmp;
    const std::string tree = tmp / "tree";
#if defined(__APPLE__)
    const std::string odd = "/e\xcc\x81-decomposed\n";  // APFS refuses names that are not UTF-8
#else
    const std::string odd = "/\xff\xfe-not-utf8\n";
#endif
    const std::string longest = "/" + std::string(255, 'n');
    write_file(tree + "/line\nbreak", 3);
    write_file(tree + odd + "/--", 5);
    write_file(tree + odd + "/-rf");
    write_file(tree + longest + "/" + std::string(255, 'f'), 11);
    ASSERT_EQ(::mkfifo((tree + "/pipe\n").c_str(), 0644), 0);
    ASSERT_TRUE(make_link("pipe\n", tree + "/to-pipe"));
    ASSERT_TRUE(make_link("..", tree + "/up"));
    ASSERT_EQ(::mknod((tree + "/null").c_str(), S_IFCHR | 0644, makedev(1, 3)), 0);
    ASSERT_EQ(::mknod((tree + "/-blk").c_str(), S_IFBLK | 0600, makedev(7, 250)), 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socket_path = tree + "/sock";
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    socket_path.copy(address.sun_path, socket_path.size());
    const unique_fd listener(::socket(AF_UNIX, SOCK_STREAM, 0));
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
              0);

    // 9 files (3 + 5 + 0 + 11 bytes, the rest sized 0); the link "up" is a directory.
    EXPECT_EQ(counts(survey_tree(tree)), (Counts{9, 3, 19}));
    EXPECT_TRUE(remove_tree(tree));
    EXPECT_FALSE(exists_no_follow(tree));
}

// Runs `body` on a thread of its own until the object goes.
class Meanwhile {
public:
    explicit Meanwhile(std::function<void()> body)
        : thread_([this, body = std::move(body)] {
              while (!stop_)
                  body();
          }) {}
    Meanwhile(const Meanwhile&) = delete;
    Meanwhile& operator=(const Meanwhile&) = delete;
    ~Meanwhile() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(FsHardening, FilesGrowingOrVanishingDuringTheSurveyKeepTheCountsRight) {
    TempDir tmp;
    const std::string tree = tmp / "tree";
    write_file(tree + "/a/b/still", 100);
    write_file(tree + "/grow");
    const unique_fd grow(::open((tree + "/grow").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    ASSERT_TRUE(grow.valid());
    const Meanwhile appender([&] { (void)!::write(grow.get(), "x", 1); });
    const Meanwhile flicker([&] {
        (void)unique_fd(::open((tree + "/flicker").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        ::unlink((tree + "/flicker").c_str());
    });
    for (int i = 0; i < 300 && !::testing::Test::HasFailure(); ++i) {
        const std::uint64_t before = std::filesystem::file_size(tree + "/grow");
        const TreeTotals totals = survey_tree(tree);
        const std::uint64_t after = std::filesystem::file_size(tree + "/grow");
        EXPECT_EQ(totals.dir_count, 2u);
        EXPECT_TRUE(totals.file_count == 2 || totals.file_count == 3) << totals.file_count;
        EXPECT_GE(totals.total_bytes, 100 + before);
        EXPECT_LE(totals.total_bytes, 100 + after);
    }
}

}  // namespace
}  // namespace brinvast
