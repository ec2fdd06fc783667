// SPDX-License-Identifier: MIT
#pragma once

// The files of one directory whose sizes the survey needs, examined together. Where every system
// call costs a crossing into the kernel and back, most of a survey's time goes on one stat per
// file; Linux's io_uring takes a batch of them in one call instead. Each is still made relative to
// the directory's descriptor, following links as stat does, and one that fails there is asked
// again on its own, so that a batch counts exactly what one stat per file counts. Where the
// kernel offers no io_uring (before 5.6, under a seccomp filter, kernel.io_uring_disabled), and
// on macOS, each file is examined in turn. A batch makes its ring when it is made, once per
// survey, so that the ring's requests run with the identity the survey runs under
// (ActingAsHomeOwner) also on kernels that give them the ring's maker's.

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fs.h"

namespace brinvast {

// Counts a file of `size` bytes into `totals`, and among the dataless ones where it is one.
void add_file(TreeTotals& totals, std::uint64_t size, bool dataless = false);

// The same for a file of that status.
void add_file(TreeTotals& totals, const struct stat& info);

// The kernel's side of a batch; none where the system gives none.
class StatRing;
struct StatRingDeleter {
    void operator()(StatRing* ring) const;
};
[[nodiscard]] StatRing* open_stat_ring();
// Sets sizes[i] to the size of names[i] in `dir_fd`, or to -1 where it could not be read. False,
// with nothing read, where the ring cannot take the batch.
[[nodiscard]] bool stat_in_ring(StatRing& ring, int dir_fd, const std::vector<const char*>& names,
                                std::vector<std::int64_t>& sizes);

class StatBatch {
public:
    static constexpr std::size_t CAPACITY = 64;

    StatBatch();

    [[nodiscard]] bool full() const { return starts_.size() == CAPACITY; }

    // Queues the file `name`, copied.
    void add(const char* name);

    // Counts each queued file of `dir_fd` into `totals` as a file, with its size where it can be
    // read, and empties the queue.
    void flush(int dir_fd, TreeTotals& totals);

private:
    std::string names_;                // the queued names, each ending in NUL
    std::vector<std::size_t> starts_;  // where each begins
    std::vector<const char*> pointers_;
    std::vector<std::int64_t> sizes_;
    std::unique_ptr<StatRing, StatRingDeleter> ring_;
};

}  // namespace brinvast
