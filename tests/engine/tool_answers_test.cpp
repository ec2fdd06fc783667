// SPDX-License-Identifier: MIT
// What the system's tools print decides what root stops and what the report names: only the
// job's own program, only an exact identifier, only an entry that points into the bundle.

#include "tool_answers.h"

#include <gtest/gtest.h>

namespace {

TEST(ToolAnswers, OnlyWhatTheToolSaysOfItselfCounts) {
    // A nested dictionary's "program" is not the job's; its arguments' first is, without one.
    const std::string print =
        "system/x = {\n\tendpoints = {\n\t\tprogram = /elsewhere\n\t}\n\targuments = {\n"
        "\t\t/Applications/Brinvast.app/Contents/MacOS/helper\n\t\t--flag\n\t}\n"
        "\texit timeout = 7\n\tpid = 42\n}\n";
    const brinvast::LoadedJob job = brinvast::loaded_job_in(print);
    EXPECT_EQ(job.program, "/Applications/Brinvast.app/Contents/MacOS/helper");
    EXPECT_EQ(job.exit_timeout, std::chrono::seconds(7));
    EXPECT_EQ(job.pid, 42);

    const std::string id = "com.brinvast.Brinvast";
    for (const auto& [requirement, names] :
         {std::pair{"identifier \"com.brinvast.Brinvast\" and anchor apple generic", true},
          {"anchor apple generic and (identifier = com.brinvast.Brinvast)", true},
          {"identifier \"com.brinvast.Brinvast2\"", false},
          {"info [identifier] = \"com.brinvast.Brinvast\"", false}}) {
        EXPECT_EQ(brinvast::requirement_names(requirement, id), names) << requirement;
    }

    const std::string dump =
        "========\n Records for UID 501\n #1:\n   Name: Brinvast Helper\n"
        "   URL: Contents/Library/LoginItems/Helper.app\n   Parent Identifier: 2." +
        id +
        "\n #2:\n   Name: Other\n   URL: file:///Applications/My%20Other.app/\n"
        "   Executable Path: /Applications/My Other.app/Contents/MacOS/Other\n";
    const auto items = brinvast::background_items_in(dump, id, "/Applications/Brinvast.app");
    ASSERT_EQ(items.size(), 2U);
    EXPECT_EQ(items[0].paths, std::vector<std::string>{"/Applications/Brinvast.app/Contents/"
                                                       "Library/LoginItems/Helper.app"});
    EXPECT_EQ(items[1].paths,
              (std::vector<std::string>{"/Applications/My Other.app",
                                        "/Applications/My Other.app/Contents/MacOS/Other"}));
}

}  // namespace
