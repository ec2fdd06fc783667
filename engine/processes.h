// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <vector>

#include "platform.h"

namespace brinvast {

// The running processes started from an executable inside the bundle at `bundle_path`, by that
// path or by any other path to the same file, this process excepted. A process whose executable
// cannot be read is no match. The error when the processes cannot be listed at all: then nobody
// can tell that the bundle is not in use.
[[nodiscard]] Result<std::vector<platform::Process>> processes_running_from(
    const std::string& bundle_path);

// Those of `processes` that run from the bundle at `bundle_path`, as processes_running_from
// tells them, sorted by pid: by path, by the identity of the file, and through a mirror of the
// bundle (macOS's App Translocation) by the mirrored path or the mirrored file's identity.
[[nodiscard]] std::vector<platform::Process> running_from(const std::string& bundle_path,
                                                          std::vector<platform::Process> processes);

}  // namespace brinvast
