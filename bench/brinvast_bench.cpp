// SPDX-License-Identifier: MIT
// brinvast-bench survey DIR | remove DIR | make-wide DIR TOP PER FILES | make-deep DIR DEPTH
//
// Runs one engine operation on DIR, or builds a tree for bench/run to measure it on.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "fs.h"
#include "unique_fd.h"

namespace {

using brinvast::unique_fd;

void fail(const std::string& what) {
    std::perror(what.c_str());
    std::exit(1);
}

unique_fd make_and_open(int parent, const char* name) {
    if (::mkdirat(parent, name, 0755) != 0 && errno != EEXIST) fail(name);
    unique_fd fd(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) fail(name);
    return fd;
}

// TOP directories of PER subdirectories, each holding FILES files of 0 to 5,000 bytes. The
// sizes come from a fixed seed, so every copy of the tree is the same.
void make_wide(const char* root, int top, int per, int files) {
    static char content[5001];
    std::memset(content, 'b', sizeof content);
    std::mt19937 sizes(42);
    const unique_fd base = make_and_open(AT_FDCWD, root);
    char name[32];
    for (int t = 0; t < top; ++t) {
        std::snprintf(name, sizeof name, "group-%03d", t);
        const unique_fd group = make_and_open(base.get(), name);
        for (int p = 0; p < per; ++p) {
            std::snprintf(name, sizeof name, "dir-%03d", p);
            const unique_fd dir = make_and_open(group.get(), name);
            for (int f = 0; f < files; ++f) {
                std::snprintf(name, sizeof name, "file-%04d.dat", f);
                const unique_fd file(
                    ::openat(dir.get(), name, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
                const auto size = static_cast<std::size_t>(sizes() % 5001);
                if (!file.valid() || ::write(file.get(), content, size) < 0) fail(name);
            }
        }
    }
}

// A chain of DEPTH directories, built through descriptors because its path outgrows PATH_MAX.
void make_deep(const char* root, int depth) {
    unique_fd dir = make_and_open(AT_FDCWD, root);
    for (int level = 0; level < depth; ++level)
        dir = make_and_open(dir.get(), "d");
}

long peak_rss_kib() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 2 ? argv[1] : "";
    if (command == "survey" && argc == 3) {
        const brinvast::TreeTotals totals = brinvast::survey_tree(argv[2]);
        std::printf("files %llu dirs %llu bytes %llu peak_rss_kib %ld\n",
                    static_cast<unsigned long long>(totals.file_count),
                    static_cast<unsigned long long>(totals.dir_count),
                    static_cast<unsigned long long>(totals.total_bytes), peak_rss_kib());
    } else if (command == "remove" && argc == 3) {
        try {
            (void)brinvast::remove_tree(argv[2]);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s\n", error.what());
            return 1;
        }
    } else if (command == "make-wide" && argc == 6) {
        make_wide(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]));
    } else if (command == "make-deep" && argc == 4) {
        make_deep(argv[2], std::atoi(argv[3]));
    } else {
        std::fputs(
            "usage: brinvast-bench survey DIR | remove DIR | make-wide DIR TOP PER FILES"
            " | make-deep DIR DEPTH\n",
            stderr);
        return 2;
    }
    return 0;
}
