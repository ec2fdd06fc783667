// SPDX-License-Identifier: MIT
#pragma once

// What the probe's checks share: how each says its outcome, and the checks kept in a file of
// their own.

#include <string>

#include "test_tree.h"

namespace brinvast {

// One line of the probe's output: "ok:", "FAILED:" (which the exit status counts) or "info:".
void say(const char* outcome, const std::string& line);
void ok(const std::string& line);
void failed(const std::string& line);
// How many checks have failed so far.
[[nodiscard]] int failure_count();

// The system's text for `error`, with its number.
[[nodiscard]] std::string error_text(int error);

// Ours against find and stat, and against plutil and codesign (probe_compare.cpp).
void check_survey(const testing::TempDir& tmp);
void check_readers_against_apples();

}  // namespace brinvast
