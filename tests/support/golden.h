// SPDX-License-Identifier: MIT
#pragma once

// The golden files in tests/expected/, one per mode and state, which every suite reads. The
// probe of macOS, which shares test_tree.h, is built without their folder.

#include <string>

#include "test_tree.h"

namespace brinvast::testing {

// The golden file `name`: a whole report or state listing as the end-to-end tests see it, the
// home written as "~" and the application folder as /Applications.
[[nodiscard]] inline std::string expected(const std::string& name) {
    return read_text(BRINVAST_EXPECTED "/" + name + ".txt");
}

}  // namespace brinvast::testing
