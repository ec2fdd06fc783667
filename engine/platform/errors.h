// SPDX-License-Identifier: MIT
#pragma once

// The errors of the file-system core, below everything that throws them.

#include <cerrno>
#include <exception>
#include <string>
#include <system_error>
#include <utility>

namespace brinvast {

// The error that the call which failed just now left in errno, as a value. Read it before
// anything else runs: a destructor, or any other call, may change errno.
[[nodiscard]] inline std::error_code last_error() noexcept {
    return {errno, std::generic_category()};
}

// Why something was refused, as a value: one sentence for the report, and the system's error
// when it was the system that refused (EACCES, EIO, ...); no error when the content was at fault
// (a malformed file, one too large). Empty when nothing was wrong. A sentence alone is such a
// problem, so it converts from one.
struct Problem {
    Problem() = default;
    Problem(std::string text, std::error_code error = {})  // NOLINT(google-explicit-constructor)
        : text(std::move(text)), error(error) {}
    Problem(const char* text) : text(text) {}  // NOLINT(google-explicit-constructor)

    explicit operator bool() const noexcept { return !text.empty(); }

    std::string text;
    std::error_code error;
};

// What a platform call gives back: its value, or, when `error` is set, the system's refusal
// and no value.
template <typename T>
struct Result {
    T value{};
    std::error_code error;
};

// A failed file-system call. what() is the platform's text followed by the path it concerns,
// for example "Permission denied: /Applications/Brinvast.app/Contents/x".
class fs_error : public std::system_error {
public:
    fs_error(int error_number, const std::string& path);
    fs_error(int error_number, std::string message, const std::string& path);
    [[nodiscard]] const char* what() const noexcept override { return message_.c_str(); }
    [[nodiscard]] int error_number() const noexcept { return code().value(); }
    // The entry the failed call concerned.
    [[nodiscard]] const std::string& path() const noexcept { return path_; }

private:
    std::string message_;
    std::string path_;
};

// An operating-system refusal: EACCES or EPERM.
[[nodiscard]] bool is_permission_error(const std::system_error& error) noexcept;

}  // namespace brinvast
