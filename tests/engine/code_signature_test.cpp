// SPDX-License-Identifier: MIT
// The team and application groups that Brinvast's executable claims decide which group
// containers complete removal deletes, so only a well-formed claim comes out: not from a file
// whose offsets point outside it, not from slices that disagree, not a group that names another
// folder. The executables are written byte by byte by tests/support/macho.h.

#include "code_signature.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <filesystem>
#include <string>
#include <vector>

#include "macho.h"
#include "test_tree.h"
#include "unique_fd.h"

namespace {

using namespace brinvast::testing::macho;
using brinvast::testing::TempDir;
using brinvast::testing::write_file;
using Groups = std::vector<std::string>;

const std::string TEAM = "A1B2C3D4E5";

std::string signed_by(const std::string& team, const Groups& groups) {
    return executable(super_blob({{0, code_directory(team)}, {5, entitlements(groups)}}));
}
std::string invalid(const std::string& reason) {
    return "Brinvast is not a valid Mach-O file: " + reason;
}

TEST(CodeSignature, OnlyAWellFormedClaimComesOut) {
    const Groups groups{"group.com.brinvast", "A1B2C3D4E5.com.brinvast"};
    const std::string signature = super_blob({{0, code_directory(TEAM)}});
    const std::string ok = signed_by(TEAM, groups);
    const std::string bad_group = "Brinvast claims an invalid application group ";
    const struct {
        std::string name;
        std::string file;
        std::string team;
        Groups groups;
        std::string problem;
    } rows[] = {
        {"thin", ok, TEAM, groups, ""},
        {"universal",
         universal({ok, signed_by(TEAM, {groups[1], "group.b"})}),
         TEAM,
         {groups[0], groups[1], "group.b"},
         ""},
        {"wide, big-endian",
         universal({executable(signature, true), executable("")}, true),
         TEAM,
         {},
         ""},
        {"alternate",
         executable(super_blob({{0, code_directory(TEAM)}, {0x1000, code_directory(TEAM)}})),
         TEAM,
         {},
         ""},
        {"ad hoc", executable(super_blob({{0, code_directory(TEAM, 2)}})), "", {}, ""},
        {"unsigned", executable(""), "", {}, ""},
        {"script", "#!/bin/sh\nexit 0\n", "", {}, ""},
        {"truncated",
         executable(patched(signature, 4, signature.size() + 1)),
         "",
         {},
         invalid("its code signature is truncated")},
        {"blob outside",
         executable(patched(signature, 16, signature.size() - 4)),
         "",
         {},
         invalid("a blob lies outside the code signature")},
        {"past the end",
         ok.substr(0, ok.size() - 1),
         "",
         {},
         invalid("its code signature runs past the end")},
        {"command past the end",
         patched(ok, SIGNATURE_COMMAND_SIZE_AT, 20, false),
         "",
         {},
         invalid("a load command runs past the end")},
        {"slices disagree",
         universal({ok, signed_by("Z9", {})}),
         "",
         {},
         "Brinvast's architectures are signed by different teams"},
        {"directories disagree",
         executable(super_blob({{0, code_directory(TEAM)}, {0x1001, code_directory("Z9")}})),
         "",
         {},
         "Brinvast's code directories name different teams"},
        {"bad team",
         signed_by("A-B", {}),
         "",
         {},
         "Brinvast claims an invalid team identifier \"A-B\""},
        {"slash", signed_by(TEAM, {"group/x"}), "", {}, bad_group + "\"group/x\""},
        {"parent", signed_by(TEAM, {".."}), "", {}, bad_group + "\"..\""},
    };
    const TempDir root;
    const brinvast::unique_fd dir(::open(root.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        write_file(root / "Brinvast", row.file);
        const brinvast::CodeSignature found = brinvast::read_code_signature(dir.get(), "Brinvast");
        EXPECT_EQ(found.team, row.team);
        EXPECT_EQ(found.groups, row.groups);
        EXPECT_EQ(found.problem.text, row.problem);
        EXPECT_EQ(brinvast::code_signature_in(row.file, "Brinvast").problem.text, row.problem);
    }
}

// A privileged helper names the apps that may talk to it in its embedded Info.plist.
TEST(CodeSignature, AHelpersAuthorizedClientsComeOut) {
    const std::string client = "identifier \"com.brinvast.Brinvast\" and anchor apple generic";
    const std::string plist =
        "<plist version=\"1.0\"><dict><key>SMAuthorizedClients</key><array><string>" + client +
        "</string></array></dict></plist>";
    EXPECT_EQ(brinvast::code_signature_in(with_info_plist(plist)).clients, Groups{client});
    EXPECT_EQ(brinvast::code_signature_in(with_info_plist("<plist>")).problem.text,
              "the executable's Info.plist is not an XML or binary property list");
}

TEST(CodeSignature, OnlyARegularFileIsRead) {
    const TempDir root;
    write_file(root / "real", signed_by(TEAM, {}));
    std::filesystem::create_symlink("real", root / "Brinvast");
    std::filesystem::create_directory(root / "folder");
    const brinvast::unique_fd dir(::open(root.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    EXPECT_EQ(brinvast::read_code_signature(dir.get(), "Brinvast").problem.text,
              "Brinvast is a symbolic link");
    EXPECT_EQ(brinvast::read_code_signature(dir.get(), "folder").problem.text,
              "folder is not a regular file");
    EXPECT_EQ(brinvast::read_code_signature(dir.get(), "none").problem.text, "no none");
}

}  // namespace
