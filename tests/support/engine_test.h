#pragma once

// An engine over a small real tree in a temporary directory, its report kept in a string.

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "test_tree.h"
#include "uninstaller.h"

namespace brinvast::testing {

class EngineTest : public ::testing::Test {
protected:
    // A new engine over the tree, its start-up line already read.
    BrinvastUninstaller& engine(bool dry_run = false, bool clean_all = false) {
        engine_ = std::make_unique<BrinvastUninstaller>(dry_run, false, clean_all, where, out);
        out.str("");
        return *engine_;
    }
    // The lines printed since the last call.
    std::vector<std::string> printed() {
        std::vector<std::string> lines = lines_of(out.str());
        out.str("");
        return lines;
    }

    TempDir root;
    Locations where = locations_under(root.path());
    std::ostringstream out;
    std::unique_ptr<BrinvastUninstaller> engine_;
};

}  // namespace brinvast::testing
