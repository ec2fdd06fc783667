// SPDX-License-Identifier: MIT
#include "locations.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "test_tree.h"

namespace {

using brinvast::compute_locations;
using brinvast::LocationSources;
using brinvast::testing::TempDir;
using brinvast::testing::write_file;

struct HomeCase {
    const char* name;
    std::optional<std::string> home_variable;
    std::optional<std::string> user_database_home;
    std::string expanded_home;  // what stands in place of "~"
};

void PrintTo(const HomeCase& row, std::ostream* os) {
    *os << row.name;
}

class HomeExpansion : public ::testing::TestWithParam<HomeCase> {};

TEST_P(HomeExpansion, ProductPathsStartAtTheHomeWithoutDoubleSlash) {
    const HomeCase& row = GetParam();
    const auto where = compute_locations({row.home_variable, row.user_database_home, "/x/y"});
    const std::string& home = row.expanded_home;
    EXPECT_EQ(where.BRINVAST_APP_PATH, "/Applications/Brinvast.app");
    EXPECT_EQ(where.BRINVAST_APP_SUPPORT, home + "/Library/Application Support/Brinvast");
    EXPECT_EQ(where.BRINVAST_DOCUMENTS, home + "/Documents/Brinvast");
    EXPECT_EQ(where.BRINVAST_LOGS_FALLBACK, home + "/Library/Logs/Brinvast");
    EXPECT_EQ(where.BRINVAST_DATABASE_PATH,
              home + "/Library/Application Support/Brinvast/Database/Brinvast.db");
    EXPECT_EQ(where.BRINVAST_BACKUP_DATABASE_PATH,
              home + "/Library/Application Support/Brinvast/Database/Brinvast_Previous.db");
}

INSTANTIATE_TEST_SUITE_P(
    Homes, HomeExpansion,
    ::testing::Values(
        HomeCase{"Plain", "/Users/someone", std::nullopt, "/Users/someone"},
        HomeCase{"TrailingSlash", "/Users/someone/", std::nullopt, "/Users/someone"},
        HomeCase{"TrailingSlashes", "/Users/someone//", "/db", "/Users/someone"},
        HomeCase{"UnsetFallsBackToUserDatabase", std::nullopt, "/Users/someone", "/Users/someone"},
        HomeCase{"EmptyFallsBackToUserDatabase", "", "/Users/someone", "/Users/someone"},
        HomeCase{"RelativeFallsBackToUserDatabase", "Users/x", "/Users/someone", "/Users/someone"},
        HomeCase{"RootFallsBackToUserDatabase", "//", "/Users/someone/", "/Users/someone"}),
    [](const auto& info) { return std::string(info.param.name); });

// Without a real home the product's folders would be looked for, and removed, relative to
// wherever the program happens to run.
TEST(HomeExpansion, NoUsableHomeAnywhereRefusesToCompute) {
    const std::optional<std::string> none;
    // "/" however spelt: what resolves to it is no home either.
    const std::pair<std::optional<std::string>, std::optional<std::string>> cases[] = {
        {none, none},          {"", none},        {"/", "/"},
        {"relative", "~"},     {none, ""},        {"~", "./home"},
        {"/.", "/tmp/.."},     {"/tmp/..", none}, {"//.", "/./"},
        {"/nowhere/..", none},
    };
    for (const auto& [home_variable, user_database_home] : cases) {
        EXPECT_THROW((void)compute_locations({home_variable, user_database_home, "/x/y"}),
                     brinvast::NoHomeDirectory)
            << home_variable.value_or("(unset)") << ", " << user_database_home.value_or("(none)");
    }
}

TEST(LocationSourcesTest, UserDatabaseIsAskedOnlyWhenHomeIsUnusable) {
    const char* home = std::getenv("HOME");
    const std::optional<std::string> saved = home ? std::optional<std::string>(home) : std::nullopt;
    const std::string from_database = ::getpwuid(::getuid())->pw_dir;
    const std::pair<std::optional<std::string>, std::optional<std::string>> cases[] = {
        {"/Users/someone", std::nullopt},
        {"", from_database},
        {"/", from_database},
        {std::nullopt, from_database},
    };
    for (const auto& [variable, expected] : cases) {
        if (variable) {
            ::setenv("HOME", variable->c_str(), 1);
        } else {
            ::unsetenv("HOME");
        }
        const LocationSources sources = brinvast::process_location_sources();
        EXPECT_EQ(sources.home_variable, variable);
        EXPECT_EQ(sources.user_database_home, expected) << variable.value_or("(unset)");
    }
    if (saved) {
        ::setenv("HOME", saved->c_str(), 1);
    } else {
        ::unsetenv("HOME");
    }
}

TEST(AssetLocations, AssetsLieBesideTheRealExecutableEvenThroughSymlinks) {
    const TempDir root;
    const std::string real_root = std::filesystem::canonical(root.path());
    write_file(root / "opt/tool/bin/uninstaller", 10);
    std::filesystem::create_directory_symlink("opt/tool", root / "tool");
    std::filesystem::create_directories(root / "elsewhere");
    std::filesystem::create_symlink("../tool/bin/uninstaller", root / "elsewhere/run");

    for (const std::string& executable : {root / "opt/tool/bin/uninstaller", root / "elsewhere/run",
                                          root / "tool/bin/uninstaller"}) {
        SCOPED_TRACE(executable);
        const auto where = compute_locations({"/Users/someone", std::nullopt, executable});
        const std::string bin = real_root + "/opt/tool/bin";
        EXPECT_EQ(where.SCRIPT_DIR, bin);
        EXPECT_EQ(where.ICON_PATH, bin + "/assets/graphics/icons/Thalvoric-Icon-Light.icns");
        EXPECT_EQ(where.LOGO_PATH, bin + "/assets/graphics/svg/Brinvast-KL-Solo-LGT.svg");
    }
}

// A macOS bundle keeps data in Contents/Resources, not beside its code in Contents/MacOS; an
// executable outside a bundle, and every one elsewhere, finds its artwork beside it.
TEST(AssetLocations, BundleKeepsItsArtworkInItsResources) {
    const std::string app = "/Applications/Brinvast Uninstaller.app/Contents";
    const std::string beside = "/assets/graphics/icons/Thalvoric-Icon-Light.icns";
    const struct {
        std::string script_dir;
        bool bundle_resources;
        std::string icon;
        std::string logo;
    } cases[] = {
        {app + "/MacOS", true, app + "/Resources/Thalvoric-Icon-Light.icns",
         app + "/Resources/Brinvast-KL-Solo-LGT.svg"},
        {app + "/MacOS", false, app + "/MacOS" + beside,
         app + "/MacOS/assets/graphics/svg/Brinvast-KL-Solo-LGT.svg"},
        {"/usr/local/bin", true, "/usr/local/bin" + beside,
         "/usr/local/bin/assets/graphics/svg/Brinvast-KL-Solo-LGT.svg"},
        {"/opt/Contents/MacOS", true, "/opt/Contents/MacOS" + beside,
         "/opt/Contents/MacOS/assets/graphics/svg/Brinvast-KL-Solo-LGT.svg"},
    };
    for (const auto& c : cases) {
        const brinvast::ArtworkPaths paths =
            brinvast::artwork_paths(c.script_dir, c.bundle_resources);
        EXPECT_EQ(paths.icon, c.icon) << c.script_dir << ", " << c.bundle_resources;
        EXPECT_EQ(paths.logo, c.logo) << c.script_dir << ", " << c.bundle_resources;
    }
}

}  // namespace
