// SPDX-License-Identifier: MIT
#pragma once

// What the tests of the engine's steps share: their fixture, and the report with the platform's
// wording taken out.

#include <iomanip>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "engine_test.h"
#include "uninstaller.h"

namespace brinvast::testing {

using Forms = std::vector<std::pair<std::string, std::string>>;  // path and record, as text

// Replaces the platform's error text after `prefix`: its wording is not the engine's.
inline std::vector<std::string> redacted(std::vector<std::string> lines,
                                         const std::string& prefix) {
    for (std::string& line : lines) {
        if (line.starts_with(prefix)) line = prefix + "<error>";
    }
    return lines;
}

class StepsTest : public EngineTest {
protected:
    Forms forms_of(const DirectoryInfoMap& directory_info) {
        Forms forms;
        for (const auto& [path, info] : directory_info) {
            std::ostringstream text;
            text << (info.exists ? "exists" : "absent") << std::setprecision(12);
            if (const auto& measured = info.measured) {
                text << ", " << measured->file_count << " files, " << measured->dir_count
                     << " dirs, " << measured->total_size_mb * 1048576 << " bytes, "
                     << measured->modified;
            }
            if (info.error) text << ", error: " << *info.error;
            forms.emplace_back(path, text.str());
        }
        return forms;
    }
};

}  // namespace brinvast::testing
