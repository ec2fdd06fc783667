// SPDX-License-Identifier: MIT
#pragma once

// A product installed into a small real tree in a temporary directory, and an engine over it
// whose report is kept in a string.

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "test_tree.h"
#include "uninstaller.h"

namespace brinvast::testing {

class EngineTest : public ::testing::Test {
protected:
    using Lines = std::vector<std::string>;

    void install(const Product& product) { install_product(where, product); }
    // Empties the tree, for the next row of a table to start afresh.
    void fresh_tree() { root.empty(); }

    // A new engine over the tree, as the front ends make it for a run the user agreed to. Its
    // report goes to `report` when given, otherwise to `out`, its start-up line already read.
    BrinvastUninstaller& engine(bool dry_run = false, bool clean_all = false,
                                std::streambuf* report = nullptr) {
        elsewhere.rdbuf(report);
        engine_ = std::make_unique<BrinvastUninstaller>(dry_run, true, clean_all, where,
                                                        report ? elsewhere : out);
        out.str("");
        return *engine_;
    }
    // The lines printed since the last call.
    Lines printed() {
        Lines lines = lines_of(out.str());
        out.str("");
        return lines;
    }

    // Does `act` on a new engine in a child process as nobody; its result, and what it printed
    // after its start-up line. The tree must have been given to nobody.
    std::pair<bool, Lines> as_nobody(bool clean_all,
                                     const std::function<bool(BrinvastUninstaller&)>& act,
                                     bool dry_run = false) {
        const int status = run_as_nobody([&] {
            std::ofstream report(root / "report");
            return act(engine(dry_run, clean_all, report.rdbuf())) ? 1 : 0;
        });
        EXPECT_LE(status, 1) << "the child could not run as nobody";
        const Lines lines = lines_of(read_text(root / "report"));
        return {status == 1, lines.empty() ? lines : Lines(lines.begin() + 1, lines.end())};
    }

    // A report as the golden files write it: the home as "~", the application folder as
    // /Applications.
    [[nodiscard]] std::string as_golden(const std::string& report) const {
        return replaced(replaced(report, root / "home", "~"), root / "Applications",
                        "/Applications");
    }

    const KnownTimeZone zone;
    TempDir root;
    Locations where = locations_under(root.path());
    const std::string& app = where.BRINVAST_APP_PATH;
    const std::string& db = where.BRINVAST_DATABASE_PATH;
    const std::string& backup = where.BRINVAST_BACKUP_DATABASE_PATH;
    const std::string& support = where.BRINVAST_APP_SUPPORT;
    const std::string& documents = where.BRINVAST_DOCUMENTS;
    const std::string& logs = where.BRINVAST_LOGS_FALLBACK;
    std::ostringstream out;
    std::ostream elsewhere{nullptr};
    std::unique_ptr<BrinvastUninstaller> engine_;
};

}  // namespace brinvast::testing
