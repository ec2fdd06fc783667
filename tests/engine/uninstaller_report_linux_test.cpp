// The report reads the same in every locale. A window toolkit switches the C library to the
// user's locale when it starts, and numbers and times in the report must not follow it.

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <sstream>
#include <string>

#include "test_tree.h"
#include "uninstaller.h"

namespace {

using brinvast::testing::TempDir;
using brinvast::testing::write_file;

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

// A machine with every number and time the report prints: the database's size and date, and
// each product directory's counts, size and date.
struct Machine {
    Machine() {
        write_file(where.BRINVAST_APP_PATH + "/Contents/MacOS/Brinvast", 2048);
        write_file(where.BRINVAST_DATABASE_PATH, 1572864);
        write_file(where.BRINVAST_DOCUMENTS + "/Reports/2024-03.txt", 1234567);
        write_file(where.BRINVAST_LOGS_FALLBACK + "/brinvast.log", 52429);
        for (const std::string& path : {where.BRINVAST_DATABASE_PATH, where.BRINVAST_DOCUMENTS,
                                        where.BRINVAST_LOGS_FALLBACK}) {
            stamped = stamped && brinvast::testing::stamp_known_time(path);
        }
    }

    // The previews of both modes, which change nothing and so can run again and again.
    [[nodiscard]] std::string previews() const {
        std::ostringstream out;
        for (const bool clean_all : {false, true}) {
            brinvast::BrinvastUninstaller uninstaller(true, false, clean_all, where, out);
            if (!uninstaller.run()) out << "(preview failed)\n";
        }
        return out.str();
    }

    const brinvast::testing::KnownTimeZone zone;
    TempDir root;
    brinvast::Locations where = brinvast::testing::locations_under(root.path());
    bool stamped = true;
};

TEST(ReportLocale, CommaLocalesPrintTheSameReportAsTheCLocale) {
    const GeneratedLocales locales;
    ASSERT_TRUE(locales.generated) << "localedef failed";
    const Machine machine;
    ASSERT_TRUE(machine.stamped);
    const std::string in_c_locale = machine.previews();
    EXPECT_NE(in_c_locale.find("   Size: 1.50 MB, Modified: " + brinvast::testing::known_time_text +
                               "\n"),
              std::string::npos)
        << in_c_locale;

    for (const char* name : comma_locales) {
        SCOPED_TRACE(name);
        const ProcessLocale locale(std::string(name) + ".UTF-8");
        ASSERT_TRUE(locale.switched);
        ASSERT_STREQ(std::localeconv()->decimal_point, ",");
        EXPECT_EQ(machine.previews(), in_c_locale);
    }
}

}  // namespace
