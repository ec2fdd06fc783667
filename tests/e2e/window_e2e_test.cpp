// SPDX-License-Identifier: MIT
// brinvast-uninstaller end to end: the real window under Xvfb, used by a scripted person who
// clicks its buttons and answers its boxes with the keyboard (alt+y is Yes, Return takes the
// default, No).

#include <gmock/gmock.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>

#include "sandbox.h"

namespace brinvast::testing {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using WindowEndToEnd = Sandbox;

const std::string standard_question = "answer 'Confirm Standard Uninstall' ";
const std::string first_warning = "answer '⚠️ WARNING: Complete Removal' ";
const std::string final_warning = "answer '⚠️ FINAL WARNING' ";
const std::string standard_run = "click standard; " + standard_question +
                                 "alt+y; answer 'Uninstall Complete' Return; finish_gui";

// Sets environment variables for the sandboxes started while it lives, then puts back what was
// there: without LANG, the next test's xdotool would match no title with an emoji.
class Environment {
public:
    explicit Environment(const std::map<std::string, std::string>& variables) {
        for (const auto& [name, value] : variables) {
            const char* before = std::getenv(name.c_str());
            saved[name] = before ? std::optional<std::string>(before) : std::nullopt;
            ::setenv(name.c_str(), value.c_str(), 1);
        }
    }
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;
    ~Environment() {
        for (const auto& [name, value] : saved) {
            value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
        }
    }

private:
    std::map<std::string, std::optional<std::string>> saved;
};

TEST_F(WindowEndToEnd, StandardUninstallAnsweredYesBacksUpTheDatabaseAndQuits) {
    const Outcome run =
        sandboxed("install_product; start_gui; click standard; " + standard_question +
                  "alt+y; answer 'Uninstall Complete' Return; finish_gui");
    EXPECT_EQ(run.status, "0");
    EXPECT_THAT(run.out, HasSubstr("\n🎉 Uninstall completed successfully!\n"));
    EXPECT_EQ(run.state, expected("after_standard_run"));
}

TEST_F(WindowEndToEnd, CompleteRemovalAnsweredYesTwiceDeletesEveryProductDirectory) {
    const Outcome run =
        sandboxed("install_product; start_gui; click complete; " + first_warning + "alt+y; " +
                  final_warning + "alt+y; answer 'Uninstall Complete' Return; finish_gui");
    EXPECT_EQ(run.status, "0");
    EXPECT_EQ(run.out, expected("typical_complete_removal"));
    EXPECT_EQ(run.state, expected("after_complete_removal"));
}

// Whatever is declined creates no engine (it would print its start-up line) and changes
// nothing; the window stays, and closing it ends the program with status 0.
TEST_F(WindowEndToEnd, DecliningChangesNothingAndClosingTheWindowEndsWithZero) {
    const std::string declines[] = {
        "",
        "click standard; " + standard_question + "Return; ",
        "click complete; " + first_warning + "Return; ",
        "click complete; " + first_warning + "alt+y; " + final_warning + "Return; ",
    };
    for (const std::string& decline : declines) {
        SCOPED_TRACE(decline);
        const Outcome run = sandboxed("install_product; start_gui; " + decline + "close_gui");
        EXPECT_EQ(run.status, "0");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.state, expected("installed"));
    }
}

// Under a language that writes "1,50", generated for the test, the window (whose toolkit
// switches to the user's locale) prints the very report the command line prints.
TEST_F(WindowEndToEnd, CommaLocalesGetTheCommandLinesReport) {
    const TempDir locales;
    for (const std::string name : {"de_DE", "fr_FR"}) {
        SCOPED_TRACE(name);
        const std::string generate =
            "localedef -i " + name + " -f UTF-8 '" + (locales / name) + ".UTF-8'";
        ASSERT_EQ(std::system(generate.c_str()), 0);
        const Environment user(
            {{"LOCPATH", locales.path()}, {"LANG", name + ".UTF-8"}, {"LC_ALL", name + ".UTF-8"}});
        const Outcome window = sandboxed("install_product; start_gui; " + standard_run);
        const Outcome cli = sandboxed("install_product; cli --yes");
        EXPECT_EQ(window.status, "0");
        EXPECT_EQ(cli.status, "0");
        EXPECT_EQ(window.out, cli.out);
        EXPECT_EQ(window.state, expected("after_standard_run"));
    }
}

// Whatever read the report has quit: the run still completes, the box still comes, and the
// program still ends with 0.
TEST_F(WindowEndToEnd, ReaderThatQuitDoesNotCutTheRunShort) {
    const Outcome run = sandboxed("install_product; start_gui_reader_gone; " + standard_run);
    EXPECT_EQ(run.status, "0");
    EXPECT_EQ(run.state, expected("after_standard_run"));
    EXPECT_EQ(run.out, "");
}

// A window and a command line started while another run holds the home both wait, then one
// removes and the other finds the machine clean; both succeed.
// The window learns that the home is busy before it hides, and asks to retry or cancel; the
// command line waits its turn. Whoever comes second finds the machine clean.
TEST_F(WindowEndToEnd, WindowAndCommandLineAtOnceTakeTurns) {
    const Outcome run = sandboxed("install_product; window_and_cli_at_once");
    EXPECT_EQ(run.status, "0 0 1") << "window, command line, and the window still shown";
    const std::vector<std::string> lines = lines_of(run.out);
    const auto count = [&lines](const std::string& line) {
        return std::ranges::count(lines, line);
    };
    EXPECT_EQ(count("⚠️  Another uninstall is running for this home: waiting for it to finish"),
              1);
    EXPECT_EQ(count("🎉 Uninstall completed successfully!"), 1);
    EXPECT_EQ(count("✅ System already clean - nothing to uninstall"), 1);
    EXPECT_EQ(run.state, expected("after_standard_run"));
}

// tester's run meets a bundle that only root may remove, and its box offers to try again as
// administrator (alt+a). The stand-in for pkexec answers as each case says, and runs what the
// window asked for as root when it agrees; a dismissed prompt brings the window back without a
// box and with nothing changed. Whatever root did in the home, it did as tester.
TEST_F(WindowEndToEnd, BundleOnlyAnAdministratorMayRemoveCanBeTriedAgainAsAdministrator) {
    const std::string standard = "click standard; " + standard_question + "alt+y; ";
    const std::string complete =
        "click complete; " + first_warning + "alt+y; " + final_warning + "alt+y; ";
    const std::string completed = "answer 'Uninstall Complete' Return; finish_gui";
    const std::string renamed_and_ready =
        " → ~/Library/Application Support/Brinvast/Database/Brinvast_Previous.db\n\n"
        "🚀 System is ready for fresh Brinvast installation\n";
    const struct {
        std::string mode;        // a mode button, and consent
        const char* answer;      // the stand-in's answer at the administrator's prompt
        std::string then;        // what the user does after the prompt
        const char* arguments;   // what the window asks root to run, after the program's path
        std::string report_end;  // how the console ends
        const char* state;
    } cases[] = {
        {standard, "", completed, "--yes", renamed_and_ready, "after_standard_run"},
        {complete, "", completed, "--yes --complete", expected("typical_complete_removal"),
         "after_complete_removal"},
        {standard, "dismiss", "close_gui", "--yes", failed_with_nothing_to_roll_back, "installed"},
        {standard, "refuse", "answer 'Uninstall Failed' Return; close_gui", "--yes",
         "Not authorized\n\nThis incident has been reported.\n", "installed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode + c.answer);
        const TempDir seen;
        const Outcome run = sandboxed(
            "install_product; tester_machine; pkexec_answer=" + std::string(c.answer) +
            "; start_gui_as_tester; " + c.mode + "answer_and_wait 'Uninstall Failed' alt+a; " +
            c.then + "; cp \"$out/pkexec\" " + seen / "calls" + "; find \"$HOME\" ! -user 1500 >" +
            seen / "not_testers");
        EXPECT_EQ(run.status, "0");
        EXPECT_THAT(run.out,
                    HasSubstr("\n❌ Permission denied removing /Applications/Brinvast.app\n"));
        EXPECT_THAT(run.out, EndsWith(c.report_end));
        EXPECT_EQ(run.state, expected(c.state));
        EXPECT_EQ(read_text(seen / "calls"),
                  std::string("/home/bin/brinvast-uninstall --user tester ") + c.arguments + "\n");
        EXPECT_EQ(read_text(seen / "not_testers"), "");
    }
}

// A program that others may change is never run as root: the box offers no prompt (alt+a does
// nothing), and its report says why.
TEST_F(WindowEndToEnd, ProgramOthersMayChangeIsNeverOfferedToAnAdministrator) {
    const Outcome run = sandboxed(
        "install_product; tester_machine; chmod o+w /home/bin; start_gui_as_tester; "
        "click standard; " +
        standard_question +
        "alt+y; answer 'Uninstall Failed' alt+a; answer_and_wait 'Uninstall Failed' Return; "
        "close_gui; [ -e \"$out/pkexec\" ] && status=prompted");
    EXPECT_EQ(run.status, "0");
    EXPECT_THAT(run.out,
                EndsWith("\n⚠️  Not offering to try again as administrator: /home/bin may "
                         "be changed by anybody\n"));
    EXPECT_EQ(run.state, expected("installed"));
}

}  // namespace
}  // namespace brinvast::testing
