// brinvast-uninstaller end to end: the real window under Xvfb, used by a scripted person who
// clicks its buttons and answers its boxes with the keyboard (alt+y is Yes, Return takes the
// default, No).

#include <gmock/gmock.h>

#include "sandbox.h"

namespace brinvast::testing {
namespace {

using WindowEndToEnd = Sandbox;

const std::string standard_question = "answer 'Confirm Standard Uninstall' ";
const std::string first_warning = "answer '⚠️ WARNING: Complete Removal' ";
const std::string final_warning = "answer '⚠️ FINAL WARNING' ";

TEST_F(WindowEndToEnd, StandardUninstallAnsweredYesBacksUpTheDatabaseAndQuits) {
    const Outcome run =
        sandboxed("install_product; start_gui; click standard; " + standard_question +
                  "alt+y; answer 'Uninstall Complete' Return; finish_gui");
    EXPECT_EQ(run.status, "0");
    EXPECT_EQ(run.out, expected("typical_standard_run"));
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

}  // namespace
}  // namespace brinvast::testing
