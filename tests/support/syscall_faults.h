// SPDX-License-Identifier: MIT
#pragma once

// Faults injected in-process through the table of system calls (platform::syscalls()): every
// entry is wrapped and its calls counted by kind, and at the n-th call of some kinds, or of any
// kind, a fault comes as it would from the system: the call fails with an errno without being
// made, or a signal arrives before it. SIGKILL there ends the process as a kill at that call
// would, so a sweep runs each case in a child process (in_child) and judges by what stands on
// disk. Builds on every platform.

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "syscalls.h"

namespace brinvast::testing {

// What comes at the `at`-th call (counted from 1) of the `kinds`, entries' names ("fsync"), or
// of any kind when there are none: an `error` that the call fails with, or a `signal` raised
// before the call is made.
struct Fault {
    std::vector<std::string_view> kinds;
    std::uint64_t at = 0;
    int error = 0;
    int signal = 0;
};

// While it lives, every entry of the table is wrapped: calls are counted, and the faults come.
// One at a time.
class SyscallFaults {
public:
    explicit SyscallFaults(std::vector<Fault> faults = {}) : saved_(platform::syscalls()) {
        state() = {std::move(faults), {}, {}};
        state().seen.resize(state().faults.size());
        if (wrap_all() * sizeof(void (*)()) != sizeof(platform::Syscalls)) std::abort();
    }
    SyscallFaults(const SyscallFaults&) = delete;
    SyscallFaults& operator=(const SyscallFaults&) = delete;
    ~SyscallFaults() { platform::syscalls() = saved_; }

    // The calls of the `kinds` made so far, of any kind when there are none.
    [[nodiscard]] std::uint64_t calls(const std::vector<std::string_view>& kinds) const {
        std::uint64_t calls = 0;
        for (const auto& [kind, made] : state().by_kind) {
            if (counts(kinds, kind)) calls += made;
        }
        return calls;
    }

private:
    struct State {
        std::vector<Fault> faults;
        std::vector<std::uint64_t> seen;  // each fault's calls so far
        std::map<std::string_view, std::uint64_t> by_kind;
    };
    static State& state() {
        static State current;
        return current;
    }
    static bool counts(const std::vector<std::string_view>& kinds, std::string_view kind) {
        return kinds.empty() || std::ranges::find(kinds, kind) != kinds.end();
    }

    // Counts the call of `kind` about to be made; the errno it is to fail with, or 0.
    static int before_call(std::string_view kind) {
        State& now = state();
        ++now.by_kind[kind];
        for (std::size_t i = 0; i < now.faults.size(); ++i) {
            const Fault& fault = now.faults[i];
            if (!counts(fault.kinds, kind) || ++now.seen[i] != fault.at) continue;
            if (fault.signal != 0) (void)std::raise(fault.signal);
            if (fault.error != 0) return fault.error;
        }
        return 0;
    }

    template <auto Entry, class Call>
    struct Wrapper;
    template <auto Entry, class R, class... Arguments>
    struct Wrapper<Entry, R (*)(Arguments...)> {
        static inline R (*real)(Arguments...) = nullptr;
        static inline std::string_view kind;
        static R call(Arguments... arguments) {
            if (const int error = before_call(kind)) {
                errno = error;
                if constexpr (std::is_pointer_v<R>) {
                    return nullptr;
                } else {
                    return R(-1);
                }
            }
            return real(arguments...);
        }
    };

    template <auto Entry>
    static std::size_t wrap(std::string_view kind) {
        platform::Syscalls& table = platform::syscalls();
        using Call = std::remove_reference_t<decltype(table.*Entry)>;
        Wrapper<Entry, Call>::real = table.*Entry;
        Wrapper<Entry, Call>::kind = kind;
        table.*Entry = &Wrapper<Entry, Call>::call;
        return 1;
    }

    // How many entries it wrapped: all of them, or the constructor aborts.
    static std::size_t wrap_all() {
        using S = platform::Syscalls;
        return wrap<&S::open>("open") + wrap<&S::openat>("openat") + wrap<&S::close>("close") +
               wrap<&S::read>("read") + wrap<&S::pread>("pread") + wrap<&S::write>("write") +
               wrap<&S::stat>("stat") + wrap<&S::lstat>("lstat") + wrap<&S::fstat>("fstat") +
               wrap<&S::fstatat>("fstatat") + wrap<&S::faccessat>("faccessat") +
               wrap<&S::readlink>("readlink") + wrap<&S::mkdir>("mkdir") +
               wrap<&S::mkdirat>("mkdirat") + wrap<&S::rmdir>("rmdir") +
               wrap<&S::unlinkat>("unlinkat") + wrap<&S::renameat>("renameat") +
               wrap<&S::symlinkat>("symlinkat") + wrap<&S::fsync>("fsync") +
#if defined(__APPLE__)
               wrap<&S::renameatx_np>("renameatx_np") + wrap<&S::fcntl>("fcntl") +
               wrap<&S::getattrlistbulk>("getattrlistbulk") + wrap<&S::dup>("dup") +
               wrap<&S::fdopendir>("fdopendir") + wrap<&S::readdir>("readdir") +
               wrap<&S::closedir>("closedir");
#else
               wrap<&S::renameat2>("renameat2") + wrap<&S::statx>("statx") +
               wrap<&S::getdents64>("getdents64");
#endif
    }

    platform::Syscalls saved_;
};

// The entry through which the database's entries move without replacing anything.
#if defined(__APPLE__)
inline constexpr std::string_view EXCLUSIVE_RENAME = "renameatx_np";
#else
inline constexpr std::string_view EXCLUSIVE_RENAME = "renameat2";
#endif

}  // namespace brinvast::testing
