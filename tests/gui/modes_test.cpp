// SPDX-License-Identifier: MIT
// The two modes behind the buttons: what the user is asked, what runs when, and how each outcome
// is reported. The message boxes are real and answered as a user would answer them.

#include <fcntl.h>
#include <unistd.h>

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QMessageBox>
#include <QMetaEnum>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>
#include <ext/stdio_filebuf.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <streambuf>

#include "confirmations.h"
#include "main_window.h"
#include "test_tree.h"

using brinvast::testing::exists_no_follow;
using brinvast::testing::TempDir;

namespace {

constexpr int STAYED_OPEN = 2;

// A message box as the user meets it: its kind, title, text and buttons, over the window.
QString box(const char* icon, const QString& title, const QString& text,
            const char* buttons = "Ok, default Ok") {
    return QStringList{icon, title, text, buttons, "over the window"}.join(" | ");
}

// A question the user is asked before anything is removed, in the words both front ends share;
// No is its default.
QString question(const char* icon, const brinvast::Confirmation& asked) {
    return box(icon, QString::fromUtf8(asked.title), QString::fromUtf8(asked.text),
               "Yes|No, default No");
}

const QString STANDARD_QUESTION = question("Question", brinvast::STANDARD_QUESTION);
const QString REMOVAL_WARNING = question("Warning", brinvast::COMPLETE_REMOVAL_WARNING);
const QString FINAL_WARNING = question("Critical", brinvast::FINAL_WARNING);
const QString UNINSTALL_COMPLETE =
    box("Information", "Uninstall Complete",
        "Uninstall completed successfully!\nThe application will now close.");
const QString UNINSTALL_FAILED =
    box("Critical", "Uninstall Failed", "Uninstall failed! Check the console output for details.");

QString describe(QMessageBox* shown, const QWidget* window) {
    const QMetaEnum names = QMetaEnum::fromType<QMessageBox::StandardButtons>();
    QStringList buttons;
    for (QAbstractButton* button : shown->buttons()) {
        // "Show Details…" is no answer; the report behind it is looked at on its own.
        if (button->text().startsWith("Show Details")) continue;
        buttons << names.valueToKey(shown->standardButton(button));
    }
    const bool over_window = shown->parentWidget() == window && window->isVisible();
    return QStringList{QMetaEnum::fromType<QMessageBox::Icon>().valueToKey(shown->icon()),
                       shown->windowTitle(), shown->text(),
                       buttons.join('|') + ", default " +
                           names.valueToKey(shown->standardButton(shown->defaultButton())),
                       over_window ? "over the window" : "without the window"}
        .join(" | ");
}

// Plays the user at the message boxes: notes each box that comes up and answers it with the
// next scripted reply. A box beyond the script is closed, so that no test can hang on it.
class User {
public:
    User(const QWidget* window, const QStringList& replies) : window(window), replies(replies) {
        QObject::connect(&watch, &QTimer::timeout, [this] { look(); });
        watch.start(5);
    }

    QStringList seen;
    QStringList details;                        // each box's detailed text, empty where it has none
    std::function<void(QMessageBox*)> inspect;  // looks at each box before it is answered

private:
    void look() {
        auto* shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (shown == nullptr || shown == answered) return;
        answered = shown;
        seen << describe(shown, window);
        details << shown->detailedText();
        if (inspect) inspect(shown);
        answer(shown, replies.isEmpty() ? "Escape" : replies.takeFirst());
    }

    // "Escape" and "Return" press that key; "Yes", "No" and "Ok" click that button.
    static void answer(QMessageBox* shown, const QString& reply) {
        if (reply == "Escape" || reply == "Return") {
            return QTest::keyClick(shown, reply == "Escape" ? Qt::Key_Escape : Qt::Key_Return);
        }
        const int which =
            QMetaEnum::fromType<QMessageBox::StandardButtons>().keyToValue(qPrintable(reply));
        QAbstractButton* button = shown->button(QMessageBox::StandardButton(which));
        button ? QTest::mouseClick(button, Qt::LeftButton) : shown->done(QMessageBox::NoButton);
    }

    const QWidget* window;
    QStringList replies;
    QPointer<QMessageBox> answered;
    QTimer watch;
};

// The console report, noting whether the window was visible as each line came.
class Console : public std::streambuf {
public:
    std::ostream stream{this};
    const QWidget* window = nullptr;
    std::string text;
    int lines_while_visible = 0;

protected:
    int overflow(int c) override {
        if (c == traits_type::eof()) return traits_type::not_eof(c);
        text.push_back(static_cast<char>(c));
        if (c == '\n' && window != nullptr && window->isVisible()) ++lines_while_visible;
        return c;
    }
};

// An Applications folder and a home with Brinvast installed, in a temporary directory, and the
// window pointed at them and shown.
struct Machine {
    explicit Machine(std::ostream* report = nullptr, const brinvast::testing::Product& product =
                                                         brinvast::testing::typical_product) {
        brinvast::testing::install_product(where, product);
        window = std::make_unique<BrinvastUninstallerGUI>(where, report ? *report : console.stream);
        console.window = window.get();
        window->show();
    }

    [[nodiscard]] QPushButton* button(const char* name) const {
        return window->findChild<QPushButton*>(name);
    }

    // Every entry beneath the root with its size, to tell whether anything changed.
    [[nodiscard]] QStringList tree() const {
        QStringList entries;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root.path())) {
            const auto size = entry.is_regular_file() ? entry.file_size() : 0;
            entries << QString::fromStdString(entry.path().string()) + " " + QString::number(size);
        }
        entries.sort();
        return entries;
    }

    TempDir root;
    brinvast::Locations where = brinvast::testing::locations_under(root.path());
    Console console;
    std::unique_ptr<BrinvastUninstallerGUI> window;
};

// Clicks `button` inside the application's event loop and returns the code with which the loop
// ended: 0 when the click asked the application to quit, STAYED_OPEN when it returned without.
int click_in_event_loop(QPushButton* button) {
    QObject scope;
    QTimer::singleShot(0, &scope, [&] {
        QTest::mouseClick(button, Qt::LeftButton);
        QTimer::singleShot(0, &scope, [] { QCoreApplication::exit(STAYED_OPEN); });
    });
    return QApplication::exec();
}

// A report stream into a pipe that nobody reads, with room for `room` more bytes: the write that
// does not fit fails with EAGAIN, and from then on the stream throws.
class CloggedConsole {
public:
    explicit CloggedConsole(std::size_t room) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0 || ::fcntl(ends[1], F_SETPIPE_SZ, capacity) != capacity ||
            ::fcntl(ends[1], F_SETFL, O_NONBLOCK) != 0) {
            std::abort();
        }
        read_end = ends[0];
        const std::string filler(capacity - room, '.');
        if (::write(ends[1], filler.data(), filler.size()) != std::ssize(filler)) std::abort();
        buffer = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(ends[1], std::ios::out);
        stream.rdbuf(buffer.get());
        stream.exceptions(std::ios::badbit);
    }
    ~CloggedConsole() {
        buffer.reset();  // its last flush fails quietly while the pipe is still open
        ::close(read_end);
    }

    std::ostream stream{nullptr};

private:
    static constexpr int capacity = 4096;
    int read_end = -1;
    std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> buffer;
};

// The message of the error that a broken report stream raises.
QString stream_failure_text() {
    std::ostream broken(nullptr);
    try {
        broken.exceptions(std::ios::badbit);
    } catch (const std::ios_base::failure& error) {
        return QString::fromUtf8(error.what());
    }
    return {};
}

// A bundle that is a symbolic link is refused, so the run fails.
void link_the_bundle_elsewhere(const Machine& machine) {
    const std::string elsewhere = machine.root / "elsewhere/Brinvast.app";
    std::filesystem::create_directories(elsewhere);
    std::filesystem::remove_all(machine.where.BRINVAST_APP_PATH);
    std::filesystem::create_directory_symlink(elsewhere, machine.where.BRINVAST_APP_PATH);
}

// Whether the view of `details` stands at its end, with the last line of the text and the line
// that begins with `reason` inside it. A text that fits the view does not count: it would show
// its last line anyway.
bool shows_end_and_reason(QTextEdit* details, const QString& reason) {
    const QScrollBar* bar = details->verticalScrollBar();
    const auto in_view = [details, bar](const QTextBlock& block) {
        const QRectF line =
            details->document()->documentLayout()->blockBoundingRect(block).translated(
                0, -bar->value());
        return line.top() >= 0 && line.bottom() <= details->viewport()->height();
    };
    QTextBlock last = details->document()->lastBlock();
    while (last.text().isEmpty() && last.previous().isValid())
        last = last.previous();
    QTextBlock why = last;
    while (why.isValid() && !why.text().startsWith(reason))
        why = why.previous();
    return details->isVisible() && bar->maximum() > 0 && bar->value() == bar->maximum() &&
           in_view(last) && why.isValid() && in_view(why);
}

std::string start_up_line(bool clean_all) {
    return std::string(
               "🚀 Brinvast Uninstaller initialized (dry_run=False, force=True, clean_all=") +
           (clean_all ? "True" : "False") + ")";
}

}  // namespace

class ModesTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup();
    void withoutConsentNothingRuns_data();
    void withoutConsentNothingRuns();
    void consentRunsHiddenThenQuits_data();
    void consentRunsHiddenThenQuits();
    void failedRunLeavesTheWindowForAnotherRun();
    void failuresDetailsOpenAtTheirLastLine();
    void confirmationsDetailsShowWhatWouldGo_data();
    void confirmationsDetailsShowWhatWouldGo();
    void errorFromTheEngineIsShownOverTheWindow();
};

// Closes every box a failed test left behind, so that the next test meets none of them.
void ModesTest::cleanup() {
    while (QWidget* modal = QApplication::activeModalWidget()) {
        modal->close();
        modal->hide();  // also one that refuses to close
    }
}

void ModesTest::withoutConsentNothingRuns_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QStringList>("replies");
    QTest::addColumn<QStringList>("boxes");
    const QStringList question{STANDARD_QUESTION};
    const QStringList both{REMOVAL_WARNING, FINAL_WARNING};
    QTest::newRow("standard: No") << "standard_btn" << QStringList{"No"} << question;
    QTest::newRow("standard: Escape") << "standard_btn" << QStringList{"Escape"} << question;
    QTest::newRow("standard: Return answers No")
        << "standard_btn" << QStringList{"Return"} << question;
    QTest::newRow("complete: No at the warning, no final warning")
        << "complete_btn" << QStringList{"No"} << both.mid(0, 1);
    QTest::newRow("complete: Yes, then No at the final warning")
        << "complete_btn" << QStringList{"Yes", "No"} << both;
    QTest::newRow("complete: Yes, then Return at the final warning answers No")
        << "complete_btn" << QStringList{"Yes", "Return"} << both;
}

void ModesTest::withoutConsentNothingRuns() {
    QFETCH(QString, button);
    QFETCH(QStringList, replies);
    QFETCH(QStringList, boxes);
    Machine machine;
    const QStringList before = machine.tree();
    User user(machine.window.get(), replies);

    QCOMPARE(click_in_event_loop(machine.button(qPrintable(button))), STAYED_OPEN);
    QCOMPARE(user.seen, boxes);
    QVERIFY(machine.window->uninstaller == nullptr);
    QCOMPARE(machine.console.text, "");
    QCOMPARE(machine.tree(), before);
    QVERIFY(machine.window->isVisible());
}

void ModesTest::consentRunsHiddenThenQuits_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QStringList>("replies");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<bool>("clean_all");
    QTest::newRow("standard: Yes") << "standard_btn" << QStringList{"Yes", "Ok"}
                                   << QStringList{STANDARD_QUESTION, UNINSTALL_COMPLETE} << false;
    QTest::newRow("complete: Yes, Yes")
        << "complete_btn" << QStringList{"Yes", "Yes", "Ok"}
        << QStringList{REMOVAL_WARNING, FINAL_WARNING, UNINSTALL_COMPLETE} << true;
}

void ModesTest::consentRunsHiddenThenQuits() {
    QFETCH(QString, button);
    QFETCH(QStringList, replies);
    QFETCH(QStringList, boxes);
    QFETCH(bool, clean_all);
    Machine machine;
    User user(machine.window.get(), replies);

    QCOMPARE(click_in_event_loop(machine.button(qPrintable(button))), 0);
    QCOMPARE(user.seen, boxes);
    const brinvast::BrinvastUninstaller* engine = machine.window->uninstaller.get();
    QVERIFY(engine != nullptr);
    QCOMPARE(engine->dry_run, false);
    QCOMPARE(engine->force, true);
    QCOMPARE(engine->clean_all, clean_all);
    const std::vector<std::string> lines = brinvast::testing::lines_of(machine.console.text);
    QVERIFY(lines.size() > 1);
    QCOMPARE(lines.front(), start_up_line(clean_all));
    QCOMPARE(machine.console.lines_while_visible, 0);
    QCOMPARE(user.details.takeLast(), QString::fromStdString(machine.console.text));
    for (const QString& preview : user.details)
        QVERIFY2(preview.startsWith("Removes:\n"), qPrintable(preview));

    const brinvast::Locations& where = machine.where;
    QVERIFY(!exists_no_follow(where.BRINVAST_APP_PATH));
    QVERIFY(!exists_no_follow(where.BRINVAST_DATABASE_PATH));
    QCOMPARE(exists_no_follow(where.BRINVAST_BACKUP_DATABASE_PATH), !clean_all);
    for (const std::string& directory :
         {where.BRINVAST_APP_SUPPORT, where.BRINVAST_DOCUMENTS, where.BRINVAST_LOGS_FALLBACK}) {
        QCOMPARE(exists_no_follow(directory), !clean_all);
    }
}

void ModesTest::failedRunLeavesTheWindowForAnotherRun() {
    Machine machine;
    link_the_bundle_elsewhere(machine);
    User user(machine.window.get(), {"Yes", "Ok", "Yes", "Ok"});

    QCOMPARE(click_in_event_loop(machine.button("standard_btn")), STAYED_OPEN);
    const brinvast::BrinvastUninstaller* first = machine.window->uninstaller.get();
    QVERIFY(first != nullptr);
    QCOMPARE(click_in_event_loop(machine.button("standard_btn")), STAYED_OPEN);
    const brinvast::BrinvastUninstaller* second = machine.window->uninstaller.get();
    QVERIFY(second != nullptr && second != first);

    QCOMPARE(user.seen, QStringList({STANDARD_QUESTION, UNINSTALL_FAILED, STANDARD_QUESTION,
                                     UNINSTALL_FAILED}));
    QVERIFY(machine.window->isVisible());
    QCOMPARE(machine.console.lines_while_visible, 0);
    // Each failed box carries its own run's report, and together they are the console's.
    const QString first_run = user.details[1];
    QVERIFY(first_run.contains("❌ Uninstall failed!"));
    // Nothing changed, so the second question previews what the first did.
    QCOMPARE(user.details[2], user.details[0]);
    QCOMPARE(first_run + user.details[3], QString::fromStdString(machine.console.text));
    QVERIFY(user.details[3].startsWith(QString::fromStdString(start_up_line(false))));
}

// A failure's reason comes near the end of its report, so its details open there, with the
// reason in view.
void ModesTest::failuresDetailsOpenAtTheirLastLine() {
    Machine machine;
    link_the_bundle_elsewhere(machine);
    User user(machine.window.get(), {"Yes", "Ok"});
    bool looked = false;
    user.inspect = [&looked](QMessageBox* shown) {
        if (shown->windowTitle() != "Uninstall Failed") return;
        for (QAbstractButton* button : shown->buttons()) {
            if (button->text().startsWith("Show Details")) button->click();
        }
        auto* details = shown->findChild<QTextEdit*>();
        QVERIFY(details != nullptr);
        QTRY_VERIFY(shows_end_and_reason(details, "❌ Failed to remove application: "));
        looked = true;
    };

    QCOMPARE(click_in_event_loop(machine.button("standard_btn")), STAYED_OPEN);
    QVERIFY(looked);
}

void ModesTest::confirmationsDetailsShowWhatWouldGo_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("clean_all");
    QTest::newRow("standard: the bundle, and the older backup it replaces")
        << "standard_btn" << false;
    QTest::newRow("complete: the bundle, and the product's folders") << "complete_btn" << true;
}

// The keyboard reaches "Show Details…" and the text behind it: what the mode would remove as a dry
// run finds it, with sizes, the older backup that standard mode replaces among it. No line runs
// past the pane's edge, and the console hears nothing of the preview.
void ModesTest::confirmationsDetailsShowWhatWouldGo() {
    QFETCH(QString, button);
    QFETCH(bool, clean_all);
    brinvast::testing::Product product = brinvast::testing::typical_product;
    product.app["Contents/MacOS/Brinvast"] = brinvast::testing::bytes(2 << 20);
    product.backup = brinvast::testing::bytes(1 << 19);
    Machine machine(nullptr, product);
    const auto line = [](const std::string& path, const char* what) {
        return "• " + QString::fromStdString(path) + " (" + what + ")";
    };
    const brinvast::Locations& where = machine.where;
    const QStringList named{
        line(where.BRINVAST_APP_PATH, "application, 2.00 MB"),
        clean_all ? line(where.BRINVAST_APP_SUPPORT, "directory, 2.00 MB")
                  : line(where.BRINVAST_BACKUP_DATABASE_PATH, "older backup, 0.50 MB")};
    User user(machine.window.get(), {"No"});
    bool looked = false;
    user.inspect = [&named, &looked](QMessageBox* shown) {
        QTest::keyClick(shown, Qt::Key_Tab);  // from No, the default, to "Show Details…"
        QTest::keyClick(shown->focusWidget(), Qt::Key_Space);
        QTest::keyClick(shown, Qt::Key_Tab);
        auto* details = shown->findChild<QTextEdit*>();
        QVERIFY(details != nullptr && details->isVisible());
        QCOMPARE(shown->focusWidget(), details);
        const QStringList lines = details->toPlainText().split('\n');
        for (const QString& expected : named)
            QVERIFY2(lines.contains(expected), qPrintable(details->toPlainText()));
        QVERIFY(details->document()->idealWidth() <= details->viewport()->width());
        looked = true;
    };

    QCOMPARE(click_in_event_loop(machine.button(qPrintable(button))), STAYED_OPEN);
    QVERIFY(looked);
    QCOMPARE(machine.console.text, "");
}

void ModesTest::errorFromTheEngineIsShownOverTheWindow() {
    // Room for the engine's start-up line only: the run's opening banner is the first write
    // that fails, before anything is touched.
    const std::string start_up = start_up_line(false) + "\n";
    CloggedConsole clogged(start_up.size());
    Machine machine(&clogged.stream);
    const QStringList before = machine.tree();
    const QString error_box =
        box("Critical", "Error", "An unexpected error occurred:\n" + stream_failure_text());
    User user(machine.window.get(), {"Yes", "Ok", "Yes", "Ok"});

    QCOMPARE(click_in_event_loop(machine.button("standard_btn")), STAYED_OPEN);
    const brinvast::BrinvastUninstaller* engine = machine.window->uninstaller.get();
    QVERIFY(engine != nullptr);
    // The stream stays broken, so this time creating the engine fails: the last one is kept.
    QCOMPARE(click_in_event_loop(machine.button("standard_btn")), STAYED_OPEN);
    QCOMPARE(machine.window->uninstaller.get(), engine);

    QCOMPARE(user.seen, QStringList({STANDARD_QUESTION, error_box, STANDARD_QUESTION, error_box}));
    // The first box has what the engine wrote before the error; the second, nothing to show.
    QVERIFY(user.details[1].startsWith(QString::fromStdString(start_up)));
    QCOMPARE(user.details[3], "");
    QVERIFY(machine.window->isVisible());
    QCOMPARE(machine.tree(), before);
}

QTEST_MAIN(ModesTest)
#include "modes_test.moc"
