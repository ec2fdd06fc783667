// SPDX-License-Identifier: MIT
// The probe's checks of our readers and our survey against what macOS's own tools say: find and
// stat for the survey, plutil and codesign for the readers.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app_identities.h"
#include "code_signature.h"
#include "fs.h"
#include "info_plist.h"
#include "probe.h"
#include "test_tree.h"
#include "unique_fd.h"

namespace brinvast {

using namespace testing;  // brinvast::testing: the shared tree helpers

namespace {

// What `command` wrote to standard output, its standard error dropped unless it sends it to
// standard output itself: braced, since a `2>/dev/null` after its own `2>&1` would win.
std::string output_of(const std::string& command) {
    std::string text;
    FILE* pipe = ::popen(("{ " + command + "; } 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return text;
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        text.append(chunk, got);
    ::pclose(pipe);
    return text;
}

std::string quoted(const std::string& path) {
    std::string text = "'";
    for (const char c : path)
        text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return text + "'";
}

}  // namespace

// The survey lists through getattrlistbulk and stats only links; find and stat, following
// links as the survey does, must count the same files, folders and bytes.
void check_survey(const TempDir& tmp) {
    const std::string folder = tmp / "surveyed";
    const char* const places[] = {"", "a/", "a/b/", "c/"};
    for (std::size_t i = 0; i < 300; ++i)
        write_file(folder + "/" + places[i % 4] + std::to_string(i), i * 37 % 5000);
    if (!make_link("a/b/2", folder + "/link")) return failed("symlink: " + error_text(errno));
    TreeTotals totals;
    try {
        totals = survey_tree(folder);
    } catch (const std::system_error& error) {
        return failed(std::string("survey_tree: ") + error.what());
    }
    const std::string ours = std::to_string(totals.file_count) + " files, " +
                             std::to_string(totals.dir_count) + " folders, " +
                             std::to_string(totals.total_bytes) + " bytes";
    const std::string in = "find -L " + quoted(folder) + " -mindepth 1";
    const std::string theirs =
        output_of(in + " -type f | wc -l | tr -d ' \\n'") + " files, " +
        output_of(in + " -type d | wc -l | tr -d ' \\n'") + " folders, " +
        output_of(in +
                  " -type f -exec stat -L -f %z {} + | awk '{s += $1} END {printf \"%d\", s}'") +
        " bytes";
    const std::string line = "survey_tree: " + ours + "; find and stat: " + theirs;
    if (ours != theirs) return failed(line);
    ok(line);
}

namespace {

// Our team and groups for the bundle at `path`, and Apple's, as one comparable line each.
void compare_signature(const std::string& path, int bundle) {
    const unique_fd contents(::openat(bundle, "Contents", O_RDONLY | O_DIRECTORY));
    const PlistStrings info =
        read_plist_strings(contents.get(), "Info.plist", {"CFBundleExecutable"});
    const auto executable = info.values.find("CFBundleExecutable");
    const unique_fd programs(::openat(contents.get(), "MacOS", O_RDONLY | O_DIRECTORY));
    if (executable == info.values.end() || !programs.valid()) return;
    const CodeSignature ours = read_code_signature(programs.get(), executable->second.c_str());
    const std::string details = output_of("codesign -dv " + quoted(path) + " 2>&1");
    const std::size_t at = details.find("TeamIdentifier=");
    std::string team = at == std::string::npos ? "" : details.substr(at + 15);
    team = team.substr(0, team.find('\n'));
    if (team == "not set") team.clear();
    const PlistLists entitled =
        plist_lists_in(output_of("codesign -d --entitlements - --xml " + quoted(path)),
                       {"com.apple.security.application-groups"}, "entitlements");
    const auto groups = entitled.values.find("com.apple.security.application-groups");
    std::vector<std::string> theirs =
        groups == entitled.values.end() ? std::vector<std::string>{} : groups->second;
    std::vector<std::string> mine = ours.groups;
    std::ranges::sort(theirs);
    std::ranges::sort(mine);
    if (!ours.problem && ours.team == team && mine == theirs) return;
    failed("the signature of " + path + ": ours says team \"" + ours.team + "\", " +
           std::to_string(mine.size()) + " groups" +
           (!ours.problem ? "" : " (" + ours.problem.text + ")") + "; codesign says \"" + team +
           "\", " + std::to_string(theirs.size()));
}

// Each disagreement is a failure of its own.
void compare_bundle(const std::string& path, int bundle) {
    const BundleIdentifier ours = bundle_identifier_at(bundle);
    std::string theirs = output_of("plutil -extract CFBundleIdentifier raw " +
                                   quoted(path + "/Contents/Info.plist"));
    theirs = theirs.substr(0, theirs.find('\n'));
    if (ours.identifier.value_or("") != theirs)
        failed("the identifier of " + path + ": ours \"" +
               ours.identifier.value_or(ours.problem.text) + "\", plutil's \"" + theirs + "\"");
    compare_signature(path, bundle);
}

// The bundles at the first level of the applications folders, then the Xcode that xcode-select
// names (…/Xcode.app/Contents/Developer), wherever it lies.
std::vector<std::string> bundles_to_compare() {
    std::vector<std::string> paths;
    for (const char* folder : {"/System/Applications", "/Applications"}) {
        const unique_fd dir(::open(folder, O_RDONLY | O_DIRECTORY));
        std::vector<std::string> names;
        if (!dir.valid() || names_in(dir.get(), names)) continue;
        for (const std::string& name : names)
            if (name.ends_with(".app")) paths.push_back(std::string(folder) + "/" + name);
    }
    std::string developer = output_of("xcode-select -p");
    developer = developer.substr(0, developer.find('\n'));
    const std::string tail = "/Contents/Developer";
    say("info:", "xcode-select -p: \"" + developer + "\"");
    if (developer.ends_with(".app" + tail))
        paths.push_back(developer.substr(0, developer.size() - tail.size()));
    return paths;
}

}  // namespace

// A bundle reached twice (Xcode.app is often a link to one of the Xcode_*.app beside it) is
// compared once.
void check_readers_against_apples() {
    const int failed_before = failure_count();
    std::set<FileId> seen;
    for (const std::string& path : bundles_to_compare()) {
        const unique_fd bundle(::open(path.c_str(), O_RDONLY | O_DIRECTORY));
        struct stat status {};
        if (!bundle.valid() || ::fstat(bundle.get(), &status) != 0 ||
            !seen.insert({status.st_dev, status.st_ino}).second)
            continue;
        compare_bundle(path, bundle.get());
    }
    if (failure_count() == failed_before)
        ok("our readers agree with plutil and codesign on " + std::to_string(seen.size()) +
           " bundles");
}

}  // namespace brinvast
