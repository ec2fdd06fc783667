// SPDX-License-Identifier: MIT
#include "main_window.h"

#include <unistd.h>

#include <QApplication>
#include <QFont>
#include <QFontMetricsF>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSvgWidget>
#include <QTextDocument>
#include <QTextEdit>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <initializer_list>

#include "administrator_run.h"
#include "confirmations.h"
#include "fs.h"
#include "platform.h"
#include "removal_preview.h"
#include "report.h"
#include "user_account.h"

namespace {

constexpr int BUTTON_WIDTH = 175;
constexpr int BUTTON_HEIGHT = 50;
// Lines of text that the boxes' details show at once.
constexpr int DETAILS_LINES = 14;
// What button_style puts between a caption and each side of its button: padding and border.
constexpr int CAPTION_MARGIN = 15 + 2;

const char* const button_style = R"(
    QPushButton {
        background-color: #f0f0f0;
        border: 2px solid #d0d0d0;
        border-radius: 8px;
        padding: 15px;
        font-size: 14px;
        font-weight: bold;
        text-align: center;
    }
    QPushButton:hover {
        background-color: #e0e0e0;
        border-color: #a0a0a0;
    }
    QPushButton:pressed {
        background-color: #d0d0d0;
    }
)";

const char* const removal_button_style = R"(
    QPushButton {
        background-color: #ffe6e6;
        border-color: #ffcccc;
        color: #cc0000;
    }
    QPushButton:hover {
        background-color: #ffdddd;
        border-color: #ff9999;
    }
)";

const char* const window_style = R"(
    QMainWindow {
        background-color: #f8f8f8;
    }
    QLabel {
        color: #333333;
    }
)";

QString text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

// A widget centred in a row of its own, between two stretches.
QHBoxLayout* centred_row(QWidget* widget) {
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(widget);
    row->addStretch();
    return row;
}

QLabel* centred_label(const QString& caption, int point_size, bool bold) {
    auto* label = new QLabel(caption);
    label->setAlignment(Qt::AlignCenter);
    if (point_size > 0) {
        QFont font;
        font.setPointSize(point_size);
        font.setBold(bold);
        label->setFont(font);
    }
    return label;
}

QPushButton* mode_button(const QString& caption, const QString& style) {
    auto* button = new QPushButton(caption);
    button->setAccessibleName(caption.trimmed());  // a screen reader would say the blank
    button->setFixedSize(BUTTON_WIDTH, BUTTON_HEIGHT);
    button->setStyleSheet(style);
    return button;
}

// Where the platform's font makes a caption wider than its button, widens both buttons alike
// just enough for the wider caption. Captions that fit keep BUTTON_WIDTH.
void fit_captions(std::initializer_list<QPushButton*> buttons) {
    int width = BUTTON_WIDTH;
    for (QPushButton* button : buttons) {
        button->ensurePolished();  // the font comes from the style sheet
        const qreal caption = QFontMetricsF(button->font()).horizontalAdvance(button->text());
        width = std::max(width, static_cast<int>(std::ceil(caption)) + 2 * CAPTION_MARGIN);
    }
    for (QPushButton* button : buttons) {
        button->setFixedSize(width, BUTTON_HEIGHT);
    }
}

// The details' size, the same in every box: DETAILS_LINES high, and at least as wide as the
// report's rules, so that no rule breaks where every longer line wraps.
void size_details(QTextEdit& details) {
    const int frame = 2 * details.frameWidth();
    const int margins = static_cast<int>(std::ceil(2 * details.document()->documentMargin()));
    details.setFixedHeight(DETAILS_LINES * details.fontMetrics().lineSpacing() + frame + margins);
    const qreal rule = QFontMetricsF(details.font()).horizontalAdvance(brinvast::RULE);
    details.setMinimumWidth(static_cast<int>(std::ceil(rule)) + frame + margins +
                            details.verticalScrollBar()->sizeHint().width());
}

// Puts `shown` behind "Show Details…". Qt's pane takes no focus, so the keyboard could neither
// reach nor scroll it; here Tab goes on from the button to the text, whose caret the arrows move.
// Long lines wrap at the pane's width: cut at its edge, a line would hide what it says last, the
// advice after a long path. Nothing, and no button, when `shown` is empty.
QTextEdit* add_details(QMessageBox& box, const QString& shown) {
    box.setDetailedText(shown);
    auto* details = box.findChild<QTextEdit*>();
    if (details == nullptr) return nullptr;
    details->setLineWrapMode(QTextEdit::WidgetWidth);
    details->setFocusPolicy(Qt::StrongFocus);
    details->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    size_details(*details);
    return details;
}

// Opens the details on their last line, with the reason of a failure in view: the lines that
// follow it (the failure banner and the rollback) take about ten, more than Qt's pane shows. The
// view follows the text's layout to its end until the user scrolls; the cursor waits at the end
// too, since a text edit brings its cursor into view when it first appears.
void open_details_at_end(QTextEdit& details) {
    details.moveCursor(QTextCursor::End);
    QScrollBar* bar = details.verticalScrollBar();
    const QMetaObject::Connection pin = QObject::connect(
        bar, &QScrollBar::rangeChanged, bar, [bar](int, int maximum) { bar->setValue(maximum); });
    QObject::connect(bar, &QScrollBar::actionTriggered, bar, [pin] { QObject::disconnect(pin); });
}

// The button of a failure that an administrator's rights may lift. Escape and Return stay with
// OK: only a deliberate choice asks for a password.
QPushButton* add_administrator_button(QMessageBox& box) {
    QPushButton* button =
        box.addButton(text("Try Again as &Administrator…"), QMessageBox::ActionRole);
    button->setObjectName("administrator_btn");
    // macOS gives buttons no mnemonics: there the shortcut is Option-A.
    button->setShortcut(QKeySequence(Qt::ALT | Qt::Key_A));
    box.setEscapeButton(QMessageBox::Ok);
    return button;
}

// A result box with the look of QMessageBox's static functions (icon, title, text, a single
// default OK, over the window), and the run's whole report behind "Show Details…", so that a
// user who started the program without a console still learns what was done. True when the
// user chose to try again as administrator, which only `offer_administrator` offers.
bool show_result(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                 const QString& message, const std::string& report,
                 bool offer_administrator = false) {
    QMessageBox box(icon, title, message, QMessageBox::Ok, parent);
    QPushButton* administrator = offer_administrator ? add_administrator_button(box) : nullptr;
    box.setDefaultButton(QMessageBox::Ok);
    if (QTextEdit* details = add_details(box, QString::fromStdString(report))) {
        open_details_at_end(*details);
    }
    box.exec();
    return administrator != nullptr && box.clickedButton() == administrator;
}

// Asks with Yes and No, No being the default; only Yes consents. `preview`, what the mode would
// remove and keep, lies behind "Show Details…".
bool answered_yes(QWidget* parent, QMessageBox::Icon icon,
                  const brinvast::Confirmation& confirmation, const std::string& preview) {
    QMessageBox box(icon, text(confirmation.title), text(confirmation.text),
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    (void)add_details(box, QString::fromStdString(preview));
    box.exec();
    return box.clickedButton() == box.button(QMessageBox::Yes);
}

}  // namespace

BrinvastUninstallerGUI::BrinvastUninstallerGUI(const brinvast::Locations& where,
                                               std::ostream& destination)
    : locations(where), report_copy(destination), report(&report_copy) {
    // A destination that throws on a failed write still reaches the engine with its error.
    report.exceptions(destination.exceptions());
    init_ui();
}

BrinvastUninstallerGUI::~BrinvastUninstallerGUI() = default;

void BrinvastUninstallerGUI::init_ui() {
    setWindowTitle("Brinvast Uninstaller");
    setGeometry(100, 100, 400, 450);
    setFixedSize(400, 450);
    if (brinvast::path_exists(locations.ICON_PATH)) {
        setWindowIcon(QIcon(QString::fromStdString(locations.ICON_PATH)));
    }

    auto* central_widget = new QWidget;
    setCentralWidget(central_widget);
    auto* layout = new QVBoxLayout(central_widget);
    layout->setSpacing(12);
    layout->setContentsMargins(20, 15, 20, 15);
    add_heading(*layout);
    layout->addWidget(new QFrame);
    add_mode_buttons(*layout);
    setStyleSheet(window_style);
}

// The logo, or the program's name where its file is missing, the title and the prompt.
void BrinvastUninstallerGUI::add_heading(QVBoxLayout& layout) {
    if (brinvast::path_exists(locations.LOGO_PATH)) {
        auto* logo_widget = new QSvgWidget(QString::fromStdString(locations.LOGO_PATH));
        logo_widget->setFixedSize(150, 40);
        logo_widget->setAccessibleName("Brinvast");  // the only place the product's name stands
        layout.addLayout(centred_row(logo_widget));
    } else {
        layout.addWidget(centred_label("Brinvast Uninstaller", 12, true));
    }

    // Word wrap keeps the bold title whole where the platform's font makes it wider than the
    // window; where it fits it stays on one line.
    QLabel* title_label = centred_label("Application & Data Removal Utility", 16, true);
    title_label->setWordWrap(true);
    layout.addWidget(title_label);

    QLabel* desc_label = centred_label("Choose an uninstallation option:", 0, false);
    desc_label->setWordWrap(true);
    layout.addWidget(desc_label);
}

void BrinvastUninstallerGUI::add_mode_buttons(QVBoxLayout& layout) {
    QPushButton* standard_btn = mode_button(" Uninstall Database", button_style);
    standard_btn->setObjectName("standard_btn");
    connect(standard_btn, &QPushButton::clicked, this, &BrinvastUninstallerGUI::standard_uninstall);
    layout.addLayout(centred_row(standard_btn));

    QPushButton* complete_btn =
        mode_button("Complete Removal", QString(button_style) + removal_button_style);
    complete_btn->setObjectName("complete_btn");
    connect(complete_btn, &QPushButton::clicked, this, &BrinvastUninstallerGUI::complete_removal);
    layout.addLayout(centred_row(complete_btn));
    fit_captions({standard_btn, complete_btn});
}

void BrinvastUninstallerGUI::standard_uninstall() {
    if (answered_yes(this, QMessageBox::Question, brinvast::STANDARD_QUESTION, preview(false))) {
        run_uninstaller(false, true, false);
    }
}

void BrinvastUninstallerGUI::complete_removal() {
    try {
        const std::string warning =
            brinvast::complete_removal_text(brinvast::product_folders_in_icloud(locations));
        if (answered_yes(this, QMessageBox::Warning,
                         {brinvast::COMPLETE_REMOVAL_WARNING.title, warning.c_str()},
                         preview(true)) &&
            answered_yes(this, QMessageBox::Critical, brinvast::FINAL_WARNING, preview(true))) {
            run_uninstaller(false, true, true);
        }
    } catch (const std::exception& error) {
        QMessageBox::critical(this, "Error",
                              "An error occurred during confirmation:\n" + text(error.what()));
    }
}

// What the mode would remove and keep as things stand, while the pointer says that the window
// is busy: the survey may take a moment in a large home.
std::string BrinvastUninstallerGUI::preview(bool clean_all) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    std::string text = removal_preview(locations, clean_all);
    QApplication::restoreOverrideCursor();
    return text;
}

void BrinvastUninstallerGUI::run_uninstaller(bool dry_run, bool force, bool clean_all) {
    report_copy.clear();
    try {
        std::optional<brinvast::RunLock> lock = lock_home();
        if (!lock) return;
        hide();
        QApplication::processEvents();
        uninstaller = std::make_unique<brinvast::BrinvastUninstaller>(
            dry_run, force, clean_all, locations, report,
            brinvast::RunOptions{.lock = std::move(lock), .from_window = true});
        const bool success = uninstaller->run();
        show();
        if (success && dry_run) {
            show_result(this, QMessageBox::Information, "Preview Complete",
                        "Preview completed successfully!\nCheck the console output for details.",
                        report_copy.text());
            return;
        }
        const std::string program = uninstaller->outcome() == brinvast::Outcome::needs_administrator
                                        ? program_for_administrator()
                                        : "";
        if (show_outcome(success, !program.empty())) try_again_as_administrator(program, clean_all);
    } catch (const std::exception& error) {
        show();
        show_result(this, QMessageBox::Critical, "Error",
                    "An unexpected error occurred:\n" + text(error.what()), report_copy.text());
    }
}

// The home's lock, taken while the window is still on screen: a home that another uninstall keeps
// busy is said in a box that retries or cancels, not by a window that vanishes and waits.
// Nothing when the user cancels.
std::optional<brinvast::RunLock> BrinvastUninstallerGUI::lock_home() {
    const std::string home = brinvast::home_directory(locations);
    const std::optional<brinvast::HomeOwner> owner = brinvast::owner_of_home(home);
    for (;;) {
        if (std::optional<brinvast::RunLock> lock = brinvast::RunLock::try_take(home, owner)) {
            return lock;
        }
        if (QMessageBox::warning(this, "Another Uninstall Is Running",
                                 "Another uninstall is running for this home.\n"
                                 "Try again once it has finished.",
                                 QMessageBox::Retry | QMessageBox::Cancel,
                                 QMessageBox::Retry) != QMessageBox::Retry) {
            return std::nullopt;
        }
    }
}

// "Uninstall Complete", and then the program quits; or "Uninstall Failed", with the offer to try
// again as administrator when that may help. True when the user took the offer.
bool BrinvastUninstallerGUI::show_outcome(bool success, bool offer_administrator) {
    if (!success) {
        return show_result(this, QMessageBox::Critical, "Uninstall Failed",
                           "Uninstall failed! Check the console output for details.",
                           report_copy.text(), offer_administrator);
    }
    show_result(this, QMessageBox::Information, "Uninstall Complete",
                "Uninstall completed successfully!\nThe application will now close.",
                report_copy.text());
    QApplication::processEvents();
    QApplication::quit();
    return false;
}

// Our own command line, from beside our executable and never from PATH, when root may trust it;
// otherwise nothing, and the report says why. Once checked, nobody but root and this user can
// change it any more.
std::string BrinvastUninstallerGUI::program_for_administrator() {
    const brinvast::ProgramForRoot program =
        brinvast::program_for_root(locations.SCRIPT_DIR + "/brinvast-uninstall", ::getuid(),
                                   brinvast::platform::administrators_group());
    if (program.path.empty()) {
        report << "⚠️  Not offering to try again as administrator: " << program.refusal.text
               << '\n'
               << std::flush;
    }
    return program.path;
}

// `program` runs as root on this user's behalf: root acts with the user's rights in the home and
// with its own only in /Applications. The window holds no run lock by now, and the command line
// takes its own. A dismissed prompt changed nothing, and the window simply comes back.
void BrinvastUninstallerGUI::try_again_as_administrator(const std::string& program,
                                                        bool clean_all) {
    hide();
    QApplication::processEvents();
    const brinvast::AdministratorRun elevated = run_with_administrator_rights(
        program, brinvast::administrator_run_arguments(brinvast::current_user_name(), clean_all));
    show();
    if (elevated.cancelled) return;
    report_copy.clear();
    report << elevated.report << std::flush;
    (void)show_outcome(elevated.exit_status == 0, false);
}
