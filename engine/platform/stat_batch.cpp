// SPDX-License-Identifier: MIT
#include "stat_batch.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "platform.h"

namespace brinvast {

void add_file(TreeTotals& totals, std::uint64_t size, bool dataless) {
    ++totals.file_count;
    totals.total_bytes += size;
    if (dataless) ++totals.dataless_count;
}

void add_file(TreeTotals& totals, const struct stat& info) {
    add_file(totals, static_cast<std::uint64_t>(info.st_size), platform::is_dataless(info));
}

namespace {

// One stat, as the batch falls back to: a size that can't be read is left out.
void count_file(int dir_fd, const char* name, TreeTotals& totals) {
    struct stat info {};
    if (::fstatat(dir_fd, name, &info, 0) == 0) {
        add_file(totals, info);
    } else {
        ++totals.file_count;
    }
}

}  // namespace

StatBatch::StatBatch() : ring_(open_stat_ring()) {
    names_.reserve(CAPACITY * 32);
    starts_.reserve(CAPACITY);
}

void StatBatch::add(const char* name) {
    starts_.push_back(names_.size());
    names_.append(name).push_back('\0');
}

void StatBatch::flush(int dir_fd, TreeTotals& totals) {
    pointers_.clear();
    for (const std::size_t start : starts_)
        pointers_.push_back(names_.data() + start);
    if (ring_ && stat_in_ring(*ring_, dir_fd, pointers_, sizes_)) {
        for (std::size_t i = 0; i < pointers_.size(); ++i) {
            if (sizes_[i] < 0) {
                count_file(dir_fd, pointers_[i], totals);  // its own error, or the batch's
                continue;
            }
            add_file(totals, static_cast<std::uint64_t>(sizes_[i]));
        }
    } else {
        for (const char* name : pointers_)
            count_file(dir_fd, name, totals);
    }
    names_.clear();
    starts_.clear();
}

}  // namespace brinvast
