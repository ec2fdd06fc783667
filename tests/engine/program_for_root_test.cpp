// SPDX-License-Identifier: MIT
// The program that the window asks root to run: only one that nobody but root and the user can
// have changed, nor any folder above it.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "administrator.h"
#include "test_tree.h"

namespace brinvast {
namespace {

// As root, for root: a sticky folder of root's that anybody may write (/tmp) lets nobody
// replace what root or the user owns in it, and a link is resolved before the chain is checked.
TEST(ProgramForRoot, NobodyElseMayHaveChangedTheProgramOrAFolderAboveIt) {
    const testing::TempDir tmp;
    const std::string bin = tmp / "bin";
    const std::string program = bin + "/brinvast-uninstall";
    testing::write_file(program);
    ASSERT_EQ(::symlink(bin.c_str(), (tmp / "link").c_str()), 0);
    const uid_t nobody = testing::nobody().uid;
    const struct {
        mode_t mode;  // of bin
        uid_t owner;
        std::optional<gid_t> administrators;
        std::string refusal;
    } cases[] = {
        {0755, 0, std::nullopt, ""},
        {0757, 0, std::nullopt, bin + " may be changed by anybody"},
        {0775, 0, std::nullopt, bin + " may be changed by its group"},
        {0775, 0, 0, ""},
        {01777, 0, std::nullopt, ""},
        {01777, nobody, std::nullopt, bin + " may be changed by its owner nobody"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refusal);
        ASSERT_EQ(::chown(bin.c_str(), c.owner, 0), 0);
        ASSERT_EQ(::chmod(bin.c_str(), c.mode), 0);
        const ProgramForRoot checked =
            program_for_root(tmp / "link/brinvast-uninstall", 0, c.administrators);
        EXPECT_EQ(checked.refusal.text, c.refusal);
        EXPECT_EQ(checked.path, c.refusal.empty() ? program : "");
    }
}

}  // namespace
}  // namespace brinvast
