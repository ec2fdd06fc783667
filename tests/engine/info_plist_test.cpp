// SPDX-License-Identifier: MIT
// The bundle identifier names folders that complete removal will delete, so nothing but a
// well-formed identifier may come out of a bundle's Info.plist: not from a hostile value, not
// from a malformed or oversized file, not through a link. A launch agent gives its Label and
// program through the same reader. The files come from python3's plistlib, as Apple's tools
// write them, or are spoilt as an attacker would.

#include "info_plist.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <cstdio>
#include <filesystem>

#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "test_tree.h"
#include "unique_fd.h"

namespace {

using brinvast::testing::make_dirs;
using brinvast::testing::TempDir;
using Make = std::function<void(const std::string& bundle)>;

// What make_plist.py is to write, one FORM PATH LITERAL line per file, in one run of python3
// once the whole table is made.
std::string requests;

// `relative` in the bundle, written in `form` from the Python literal `literal`.
Make plist(const std::string& form, const std::string& literal,
           const std::string& relative = "Contents/Info.plist") {
    return [=](const std::string& bundle) {
        make_dirs(std::filesystem::path(bundle + "/" + relative).parent_path());
        requests += form + '\t' + bundle + "/" + relative + '\t' + literal + '\n';
    };
}
Make identifier(const std::string& form, const std::string& value) {
    return plist(form, R"({"CFBundleIdentifier": ")" + value + R"("})");
}
Make text(const std::string& contents, const std::string& relative = "Contents/Info.plist") {
    return [=](const std::string& bundle) {
        make_dirs(std::filesystem::path(bundle + "/" + relative).parent_path());
        std::ofstream(bundle + "/" + relative, std::ios::binary) << contents;
    };
}
// Writes what the rows asked make_plist.py for.
void write_requested() {
    FILE* python = ::popen("python3 '" BRINVAST_MAKE_PLIST "'", "w");
    ASSERT_NE(python, nullptr);
    std::fputs(requests.c_str(), python);
    ASSERT_EQ(::pclose(python), 0);
    requests.clear();
}
// A good Info.plist at `real` in the bundle, reached by a link at `entry` to `target`.
Make linked(const std::string& entry, const std::string& target, const std::string& real) {
    return [=](const std::string& bundle) {
        plist("xml", R"({"CFBundleIdentifier": "a"})", real)(bundle);
        std::filesystem::create_symlink(target, bundle + "/" + entry);
    };
}
std::string repeated(const std::string& part, int times) {
    std::string whole;
    for (int i = 0; i < times; ++i)
        whole += part;
    return whole;
}
std::string refused(const std::string& shown) {
    return "CFBundleIdentifier \"" + shown + "\" is not a valid bundle identifier";
}

TEST(InfoPlist, OnlyAWellFormedIdentifierComesOut) {
    const std::string others = R"("A": {"B": [1, {"C": b"\x00"}], "D": True}, "E": 1.5, )";
    const std::string good = R"({"CFBundleIdentifier": "com.brinvast.app"})";
    const std::string small = "<plist><dict><key>CFBundleIdentifier</key><string>a</string>";
    const std::string whole = small + "</dict></plist>";
    const std::string not_plist = "Info.plist is not an XML or binary property list";
    const struct {
        std::string name;
        Make make;
        std::string identifier;  // "" when there is none
        std::string problem;
    } rows[] = {
        {"xml", plist("xml", "{" + others + R"("CFBundleIdentifier": "com.brinvast.app"})"),
         "com.brinvast.app", ""},
        {"binary", plist("binary", "{" + others + R"("U": "\u00dc", "CFBundleIdentifier": "c.d"})"),
         "c.d", ""},
        {"entities", text(R"(<?xml version="1.0"?><!DOCTYPE plist PUBLIC "-//A//EN" "x.dtd">
             <plist version="1.0"><!-- <dict> --><dict><key>&#233;&amp;&lt;</key><string/>
             <key>CFBundle&#x49;dentifier</key><string>com.&#98;r<![CDATA[.app]]></string>
             </dict></plist>)"),
         "com.br.app", ""},
        {"255 bytes", identifier("binary", std::string(255, 'a')), std::string(255, 'a'), ""},
        {"missing", plist("xml", R"({"CFBundleName": "Brinvast"})"), "",
         "CFBundleIdentifier is missing"},
        {"integer", plist("binary", R"({"CFBundleIdentifier": 7})"), "",
         "CFBundleIdentifier is not a string"},
        {"in an array", plist("xml", R"({"CFBundleIdentifier": ["a"]})"), "",
         "CFBundleIdentifier is not a string"},
        {"twice", text(small + "<key>CFBundleIdentifier</key><string>b</string></dict></plist>"),
         "", "CFBundleIdentifier appears more than once"},
        {"array", plist("binary", "[1]"), "", "Info.plist does not hold a dictionary"},
        {"dots", identifier("xml", ".."), "", refused("..")},
        {"double dot", identifier("binary", "a..b"), "", refused("a..b")},
        {"slash", identifier("xml", "com/evil"), "", refused("com/evil")},
        {"parent", identifier("binary", "../x"), "", refused("../x")},
        {"empty", identifier("xml", ""), "", refused("")},
        {"non-ASCII", identifier("binary", R"(\u00e9.x)"), "", refused("??.x")},
        {"300 bytes", identifier("xml", std::string(300, 'a')), "",
         refused(std::string(64, 'a') + "...")},
        {"truncated", plist("truncated", good), "", not_plist},
        {"past end", plist("past-end", good), "", not_plist},
        {"self-reference", plist("self-reference", good), "", not_plist},
        {"garbage", text("bplist00" + std::string(64, '\xff')), "", not_plist},
        {"unterminated", text(small), "", not_plist},
        {"deep",
         text(small + "<key>A</key>" + repeated("<array>", 10000) + repeated("</array>", 10000) +
              "</dict></plist>"),
         "", "Info.plist is nested deeper than 64 levels"},
        {"1 MiB", text(whole + std::string((1 << 20) - whole.size(), ' ')), "a", ""},
        {"over 1 MiB", text(whole + std::string((1 << 20) + 1 - whole.size(), ' ')), "",
         "Info.plist is larger than 1 MiB"},
        {"linked plist", linked("Contents/Info.plist", "Info.real", "Contents/Info.real"), "",
         "Info.plist is a symbolic link"},
        {"linked Contents", linked("Contents", "Real", "Real/Info.plist"), "",
         "Contents is a symbolic link"},
        {"directory", [](const std::string& b) { make_dirs(b + "/Contents/Info.plist"); }, "",
         "Info.plist is not a regular file"},
        {"no plist", [](const std::string& b) { make_dirs(b + "/Contents"); }, "", "no Info.plist"},
        {"no bundle", [](const std::string&) {}, "", "no bundle"},
    };
    const TempDir root;
    requests.clear();
    for (const auto& row : rows)
        row.make(root / (row.name + ".app"));
    write_requested();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string bundle = root / (row.name + ".app");
        const brinvast::BundleIdentifier found = brinvast::bundle_identifier(bundle);
        EXPECT_EQ(found.identifier.value_or(""), row.identifier);
        EXPECT_EQ(found.problem.text, row.problem);
    }
}

TEST(InfoPlist, ALaunchAgentGivesItsLabelAndProgram) {
    const std::string agent = R"({"Label": "l", "ProgramArguments": ["/p", "-x"], "A": {"B": 1}})";
    const std::string twice = "<plist><dict><key>Label</key><string>l</string><key>Label</key>";
    const auto in_agent = [](const std::string& form, const std::string& literal) {
        return plist(form, literal, "a.plist");
    };
    using Values = std::map<std::string, std::string, std::less<>>;
    const Values both{{"Label", "l"}, {"ProgramArguments", "/p"}};
    const struct {
        std::string name;
        Make make;
        Values values;
        std::string problem;
    } rows[] = {
        {"xml", in_agent("xml", agent), both, ""},
        {"binary", in_agent("binary", agent), both, ""},
        {"program", in_agent("binary", R"({"Label": "l", "Program": "/p"})"),
         Values{{"Label", "l"}, {"Program", "/p"}}, ""},
        {"not a string first", in_agent("xml", R"({"ProgramArguments": [["/p"], "/q"]})"), Values(),
         ""},
        {"no arguments", in_agent("binary", R"({"ProgramArguments": [], "Label": 1})"), Values(),
         ""},
        {"twice", text(twice + "<string>m</string></dict></plist>", "a.plist"), Values(),
         "Label appears more than once in a.plist"},
        {"malformed", in_agent("truncated", agent), Values(),
         "a.plist is not an XML or binary property list"},
    };
    const TempDir root;
    for (const auto& row : rows)
        row.make(root / row.name);
    write_requested();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string folder = root / row.name;
        const brinvast::unique_fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const brinvast::PlistStrings found = brinvast::read_plist_strings(
            dir.get(), "a.plist", {"Label", "Program", "ProgramArguments"});
        EXPECT_EQ(found.values, row.values);
        EXPECT_EQ(found.problem.text, row.problem);
    }
}

TEST(InfoPlist, AListGivesItsStringsOrItsKeys) {
    const std::string groups = "com.apple.security.application-groups";
    const std::string helpers = "SMPrivilegedExecutables";
    const std::string both = "{\"" + groups + R"(": ["g", 1, ["h"], "i"], ")" + helpers +
                             R"(": {"x.h": "anchor", "a": {}}})";
    const std::string long_list = "{\"" + groups + "\": [" + repeated("\"g\", ", 257) + "]}";
    const auto in_file = [](const std::string& form, const std::string& literal) {
        return plist(form, literal, "a.plist");
    };
    using Values = std::map<std::string, std::vector<std::string>, std::less<>>;
    const Values lists{{groups, {"g", "i"}}, {helpers, {"x.h", "a"}}};
    const std::string too_long = "a.plist holds a list of more than 256 elements";
    const struct {
        std::string name;
        Make make;
        Values values;
        std::string problem;
    } rows[] = {
        {"xml", in_file("xml", both), lists, ""},
        {"binary", in_file("binary", both), lists, ""},
        {"neither", in_file("binary", "{\"" + groups + R"(": "g", ")" + helpers + "\": 1}"),
         Values(), ""},
        {"empty", text("<plist><dict><key>" + groups + "</key><array/></dict></plist>", "a.plist"),
         Values{{groups, {}}}, ""},
        {"long xml", in_file("xml", long_list), Values(), too_long},
        {"long binary", in_file("binary", long_list), Values(), too_long},
    };
    const TempDir root;
    for (const auto& row : rows)
        row.make(root / row.name);
    write_requested();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string folder = root / row.name;
        const brinvast::unique_fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const brinvast::PlistLists found =
            brinvast::read_plist_lists(dir.get(), "a.plist", {groups, helpers});
        EXPECT_EQ(found.values, row.values);
        EXPECT_EQ(found.problem.text, row.problem);
    }
}

TEST(InfoPlist, AReverseDnsNameHasTwoParts) {
    for (const char* good : {"com.brinvast.app", "a.b"})
        EXPECT_TRUE(brinvast::is_reverse_dns(good)) << good;
    for (const char* bad : {"brinvast", "", ".a", "a.", "a..b", "a/b.c", "a b.c"})
        EXPECT_FALSE(brinvast::is_reverse_dns(bad)) << bad;
}

}  // namespace
