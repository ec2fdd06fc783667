// SPDX-License-Identifier: MIT
// The engine's steps when the tree changes at a known point of the walk, which only Linux's
// fanotify can arrange.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine_test.h"
#include "linux_tools.h"
#include "test_tree.h"
#include "uninstaller.h"

namespace {

using brinvast::BrinvastUninstaller;
using brinvast::testing::bytes;
using brinvast::testing::OnFirstOpen;
using Lines = std::vector<std::string>;
using StepsTest = brinvast::testing::EngineTest;
namespace fs = std::filesystem;

TEST_F(StepsTest, DirectoryVanishingDuringTheSurveyIsReportedAndSkipped) {
    install({.support = {{"a.bin", bytes(1048576)}, {"b.bin", bytes(524288)}},
             .documents = {{"notes.txt", bytes(10)}}});
    const std::string error = "No such file or directory: " + documents;
    const Lines survey_lines{"📁 Found directory: " + support, "   Files: 2, Dirs: 0, Size: 1.50 MB",
                             "⚠️  Error analyzing directory " + documents + ": " + error,
                             "📁 Directory not found: " + logs};
    {
        const OnFirstOpen vanish(documents, [&] { fs::rename(documents, root / "moved"); });
        const auto directory_info = engine().check_brinvast_directories_exist();
        EXPECT_EQ(printed(), survey_lines);
        ASSERT_EQ(directory_info.size(), 3u);
        const auto& [path, info] = directory_info[1];
        EXPECT_EQ(path, documents);
        EXPECT_TRUE(info.exists && !info.measured);
        EXPECT_EQ(info.error, error);
        EXPECT_EQ(directory_info[0].second.measured->file_count, 2u);
        EXPECT_FALSE(directory_info[2].second.exists);
    }
    fs::rename(root / "moved", documents);
    const OnFirstOpen vanish(documents, [&] { fs::rename(documents, root / "moved"); });
    BrinvastUninstaller& uninstaller = engine(false, true);
    EXPECT_TRUE(uninstaller.remove_all_directories());
    Lines expected = survey_lines;
    expected.insert(
        expected.end(),
        {"", "🗂️  Found 2 Brinvast directories to remove:",
         "   📁 " + support + " (2 files, 1.50 MB)", "   📁 " + documents, "",
         "📊 Total: 2 files, 1.50 MB", "✅ Removed directory: " + support,
         "📁 Directory already gone: " + documents, "", "✅ Successfully removed 1 directories"});
    EXPECT_EQ(printed(), expected);
    EXPECT_EQ(uninstaller.actions_performed, Lines{"Removed directory: " + support});
    EXPECT_TRUE(uninstaller.rollback_actions.empty());
}

}  // namespace
