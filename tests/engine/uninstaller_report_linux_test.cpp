// SPDX-License-Identifier: MIT
// The report reads the same in every locale. A window toolkit switches the C library to the
// user's locale when it starts, and numbers and times in the report must not follow it.

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <sstream>
#include <string>

#include "engine_test.h"
#include "test_tree.h"
#include "uninstaller.h"

namespace {

using brinvast::testing::bytes;
using brinvast::testing::TempDir;

// Languages that write "1,50": generated for the test from the locale sources, so that the
// machine needs none of them installed.
const char* const comma_locales[] = {"de_DE", "fr_FR"};

// Generates the comma locales into a directory of their own and points the C library at it.
class GeneratedLocales {
public:
    GeneratedLocales() {
        for (const char* name : comma_locales) {
            const std::string command = std::string("localedef -i ") + name + " -f UTF-8 '" +
                                        dir.path() + "/" + name + ".UTF-8'";
            generated = generated && std::system(command.c_str()) == 0;
        }
        ::setenv("LOCPATH", dir.path().c_str(), 1);
    }
    GeneratedLocales(const GeneratedLocales&) = delete;
    GeneratedLocales& operator=(const GeneratedLocales&) = delete;
    ~GeneratedLocales() { ::unsetenv("LOCPATH"); }

    bool generated = true;

private:
    TempDir dir;
};

// Switches the whole process to a locale, as QApplication does, and back to the one before.
class ProcessLocale {
public:
    explicit ProcessLocale(const std::string& name)
        : previous(std::setlocale(LC_ALL, nullptr)),
          switched(std::setlocale(LC_ALL, name.c_str()) != nullptr) {}
    ProcessLocale(const ProcessLocale&) = delete;
    ProcessLocale& operator=(const ProcessLocale&) = delete;
    ~ProcessLocale() { std::setlocale(LC_ALL, previous.c_str()); }

    const std::string previous;
    const bool switched;
};

class ReportLocale : public brinvast::testing::EngineTest {
protected:
    // The previews of both modes, which change nothing and so can run again and again.
    std::string previews() {
        std::ostringstream report;
        for (const bool clean_all : {false, true}) {
            if (!engine(true, clean_all, report.rdbuf()).run()) report << "(preview failed)\n";
        }
        return report.str();
    }
};

TEST_F(ReportLocale, CommaLocalesPrintTheSameReportAsTheCLocale) {
    const GeneratedLocales locales;
    ASSERT_TRUE(locales.generated) << "localedef failed";
    // Every number and time the report prints: the database's size and date, and each product
    // directory's counts, size and date.
    install({.app = {{"Contents/MacOS/Brinvast", bytes(2048)}},
             .database = bytes(1572864),
             .documents = {{"Reports/2024-03.txt", bytes(1234567)}},
             .logs = {{"brinvast.log", bytes(52429)}}});
    const std::string in_c_locale = previews();
    EXPECT_NE(in_c_locale.find("   Size: 1.50 MB, Modified: " + brinvast::testing::known_time_text +
                               "\n"),
              std::string::npos)
        << in_c_locale;

    for (const char* name : comma_locales) {
        SCOPED_TRACE(name);
        const ProcessLocale locale(std::string(name) + ".UTF-8");
        ASSERT_TRUE(locale.switched);
        ASSERT_STREQ(std::localeconv()->decimal_point, ",");
        EXPECT_EQ(previews(), in_c_locale);
    }
}

}  // namespace
