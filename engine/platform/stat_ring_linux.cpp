// SPDX-License-Identifier: MIT
// The batch's ring on Linux: io_uring through its three system calls, without liburing. The
// kernel reads each request's name and writes its statx record at addresses we give it, so a
// batch never returns while one of its requests is still in flight.
#include <linux/io_uring.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "stat_batch.h"
#include "unique_fd.h"

namespace brinvast {

namespace {

// One mmap of the ring's memory, unmapped with the ring.
class Mapping {
public:
    Mapping() = default;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() {
        if (at_ != MAP_FAILED) ::munmap(at_, size_);
    }

    [[nodiscard]] bool map(int fd, std::size_t size, off_t offset) {
        size_ = size;
        at_ = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, offset);
        return at_ != MAP_FAILED;
    }
    template <class T>
    [[nodiscard]] T* at(std::size_t offset) const {
        return reinterpret_cast<T*>(static_cast<char*>(at_) + offset);
    }

private:
    void* at_ = MAP_FAILED;
    std::size_t size_ = 0;
};

unsigned load(const unsigned* shared) {
    return std::atomic_ref<unsigned>(*const_cast<unsigned*>(shared))
        .load(std::memory_order_acquire);
}

void store(unsigned* shared, unsigned value) {
    std::atomic_ref<unsigned>(*shared).store(value, std::memory_order_release);
}

}  // namespace

class StatRing {
public:
    [[nodiscard]] bool open();
    [[nodiscard]] bool stat_all(int dir_fd, const std::vector<const char*>& names,
                                std::vector<std::int64_t>& sizes);

private:
    void queue(int dir_fd, const std::vector<const char*>& names);
    [[nodiscard]] unsigned reap(std::vector<std::int64_t>& sizes);
    [[nodiscard]] long enter(unsigned to_submit, unsigned to_wait) const;

    unique_fd fd_;
    Mapping submissions_;
    Mapping completions_;
    Mapping entries_;
    unsigned* sq_head_ = nullptr;
    unsigned* sq_tail_ = nullptr;
    unsigned sq_mask_ = 0;
    unsigned* sq_array_ = nullptr;
    unsigned* cq_head_ = nullptr;
    unsigned* cq_tail_ = nullptr;
    unsigned cq_mask_ = 0;
    io_uring_sqe* sqes_ = nullptr;
    io_uring_cqe* cqes_ = nullptr;
    std::array<struct statx, StatBatch::CAPACITY> results_{};
};

bool StatRing::open() {
    io_uring_params params{};
    fd_.reset(static_cast<int>(::syscall(SYS_io_uring_setup, StatBatch::CAPACITY, &params)));
    if (!fd_.valid() || params.sq_entries < StatBatch::CAPACITY) return false;
    const std::size_t sq_size = params.sq_off.array + params.sq_entries * sizeof(unsigned);
    const std::size_t cq_size = params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe);
    if (!submissions_.map(fd_.get(), sq_size, IORING_OFF_SQ_RING) ||
        !completions_.map(fd_.get(), cq_size, IORING_OFF_CQ_RING) ||
        !entries_.map(fd_.get(), params.sq_entries * sizeof(io_uring_sqe), IORING_OFF_SQES))
        return false;
    sq_head_ = submissions_.at<unsigned>(params.sq_off.head);
    sq_tail_ = submissions_.at<unsigned>(params.sq_off.tail);
    sq_mask_ = *submissions_.at<unsigned>(params.sq_off.ring_mask);
    sq_array_ = submissions_.at<unsigned>(params.sq_off.array);
    cq_head_ = completions_.at<unsigned>(params.cq_off.head);
    cq_tail_ = completions_.at<unsigned>(params.cq_off.tail);
    cq_mask_ = *completions_.at<unsigned>(params.cq_off.ring_mask);
    sqes_ = entries_.at<io_uring_sqe>(0);
    cqes_ = completions_.at<io_uring_cqe>(params.cq_off.cqes);
    return true;
}

// statx follows a link at the end as stat does (no AT_SYMLINK_NOFOLLOW).
void StatRing::queue(int dir_fd, const std::vector<const char*>& names) {
    const unsigned tail = *sq_tail_;
    for (unsigned i = 0; i < names.size(); ++i) {
        const unsigned slot = (tail + i) & sq_mask_;
        io_uring_sqe& sqe = sqes_[slot];
        std::memset(&sqe, 0, sizeof sqe);
        sqe.opcode = IORING_OP_STATX;
        sqe.fd = dir_fd;
        sqe.addr = reinterpret_cast<std::uintptr_t>(names[i]);
        sqe.len = STATX_SIZE;
        sqe.off = reinterpret_cast<std::uintptr_t>(&results_[i]);
        sqe.user_data = i;
        sq_array_[slot] = slot;
    }
    store(sq_tail_, tail + static_cast<unsigned>(names.size()));
}

unsigned StatRing::reap(std::vector<std::int64_t>& sizes) {
    unsigned head = *cq_head_;
    const unsigned tail = load(cq_tail_);
    const unsigned reaped = tail - head;
    for (; head != tail; ++head) {
        const io_uring_cqe& cqe = cqes_[head & cq_mask_];
        const struct statx& result = results_[cqe.user_data];
        const bool sized = cqe.res == 0 && (result.stx_mask & STATX_SIZE) != 0;
        sizes[cqe.user_data] = sized ? static_cast<std::int64_t>(result.stx_size) : -1;
    }
    store(cq_head_, head);
    return reaped;
}

long StatRing::enter(unsigned to_submit, unsigned to_wait) const {
    return ::syscall(SYS_io_uring_enter, fd_.get(), to_submit, to_wait, IORING_ENTER_GETEVENTS,
                     nullptr, 0);
}

// A signal interrupts only the wait; the requests go on, and are waited for again. Where the
// kernel refuses to take more, what it did not take is withdrawn (its size stays unread, to be
// asked on its own), and what it took completes all the same.
bool StatRing::stat_all(int dir_fd, const std::vector<const char*>& names,
                        std::vector<std::int64_t>& sizes) {
    auto count = static_cast<unsigned>(names.size());
    sizes.assign(count, -1);
    const unsigned first = *sq_tail_;
    queue(dir_fd, names);
    unsigned submitted = 0;
    unsigned done = 0;
    while (done < count) {
        const long got = enter(count - submitted, count - done);
        const int error = got < 0 ? errno : 0;
        if (got >= 0) {
            submitted += static_cast<unsigned>(got);
        } else if (error != EINTR && error != EAGAIN && error != EBUSY) {
            // Without SQPOLL the kernel takes requests only inside the call, so its head says
            // how many it took, and nothing reads the tail meanwhile.
            count = load(sq_head_) - first;
            submitted = count;
            store(sq_tail_, first + count);
            if (count == 0) return false;
            ::sched_yield();
        }
        done += reap(sizes);
    }
    return true;
}

void StatRingDeleter::operator()(StatRing* ring) const {
    delete ring;
}

StatRing* open_stat_ring() {
    auto ring = std::make_unique<StatRing>();
    return ring->open() ? ring.release() : nullptr;
}

bool stat_in_ring(StatRing& ring, int dir_fd, const std::vector<const char*>& names,
                  std::vector<std::int64_t>& sizes) {
    return names.empty() || ring.stat_all(dir_fd, names, sizes);
}

}  // namespace brinvast
