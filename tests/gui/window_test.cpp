// SPDX-License-Identifier: MIT
// The window's appearance: its fixed size, its six items in order, the looks of its two buttons,
// and the artwork it uses only when the files are there.

#include <QAccessible>
#include <QApplication>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QRegularExpression>
#include <QSvgRenderer>
#include <QSvgWidget>
#include <QtTest>
#include <algorithm>
#include <filesystem>

#include "application.h"
#include "main_window.h"
#include "test_tree.h"

using brinvast::testing::TempDir;

namespace {

// The program's locations in `root`, with the icon and the logo beside the executable or not.
brinvast::Locations locations_with(const TempDir& root, bool icon, bool logo) {
    brinvast::Locations where = brinvast::testing::locations_under(root.path());
    const auto place = [](const char* asset, const std::string& at) {
        brinvast::testing::make_dirs(std::filesystem::path(at).parent_path());
        std::filesystem::copy_file(std::string(BRINVAST_GRAPHICS) + asset, at);
    };
    if (icon) place("/icons/Thalvoric-Icon-Light.icns", where.ICON_PATH);
    if (logo) place("/svg/Brinvast-KL-Solo-LGT.svg", where.LOGO_PATH);
    return where;
}

QString describe(QWidget* widget) {
    QString text = widget->metaObject()->className();
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        text += QString(" \"%1\" %2pt%3%4%5")
                    .arg(label->text())
                    .arg(label->font().pointSize())
                    .arg(label->font().bold() ? " bold" : "")
                    .arg(label->alignment() == Qt::AlignCenter ? " centred" : "")
                    .arg(label->wordWrap() ? " wrapped" : "");
    }
    if (auto* button = qobject_cast<QPushButton*>(widget)) text += " \"" + button->text() + "\"";
    if (widget->minimumSize() == widget->maximumSize()) {
        text += QString(" fixed %1x%2").arg(widget->minimumWidth()).arg(widget->minimumHeight());
    }
    return text;
}

// One line per item of a layout, in order, rows nested in brackets.
QStringList describe(QLayout* layout) {
    QStringList items;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        if (item->spacerItem() != nullptr) {
            items << "stretch";
        } else if (item->layout() != nullptr) {
            items << "row [" + describe(item->layout()).join(", ") + "]";
        } else {
            items << describe(item->widget());
        }
    }
    return items;
}

// A style sheet without the spacing that carries no meaning.
QString compact(const QString& sheet) {
    static const QRegularExpression blanks(R"(\s*([{};:])\s*)");
    return sheet.simplified().replace(blanks, "\\1").replace(";}", "}");
}

const QString BUTTON_SHEET =
    "QPushButton{background-color:#f0f0f0;border:2px solid #d0d0d0;border-radius:8px;"
    "padding:15px;font-size:14px;font-weight:bold;text-align:center}"
    "QPushButton:hover{background-color:#e0e0e0;border-color:#a0a0a0}"
    "QPushButton:pressed{background-color:#d0d0d0}";
const QString REMOVAL_SHEET =
    "QPushButton{background-color:#ffe6e6;border-color:#ffcccc;color:#cc0000}"
    "QPushButton:hover{background-color:#ffdddd;border-color:#ff9999}";

QColor colour_at(QWidget* widget, int x, int y) {
    return widget->grab().toImage().pixelColor(x, y);
}

QString accessible_name(QWidget* widget) {
    return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
}

QImage image_of(const QIcon& icon) {
    return icon.pixmap(32).toImage();
}

// Gives the application another font family while it lives, as another platform would.
class ApplicationFont {
public:
    explicit ApplicationFont(const QString& family) { QApplication::setFont(QFont(family)); }
    ApplicationFont(const ApplicationFont&) = delete;
    ApplicationFont& operator=(const ApplicationFont&) = delete;
    ~ApplicationFont() { QApplication::setFont(before); }

private:
    const QFont before = QApplication::font();
};

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

private slots:
    void showsItsItemsInOrder_data();
    void showsItsItemsInOrder();
    void hasAFixedSizeAndItsOwnLooks();
    void screenReadersHearTheNames();
    void captionsFitTheirButtons_data();
    void captionsFitTheirButtons();
    void usesTheIconOnlyWhenItsFileExists_data();
    void usesTheIconOnlyWhenItsFileExists();
};

void WindowTest::showsItsItemsInOrder_data() {
    QTest::addColumn<bool>("logo");
    QTest::addColumn<QString>("top");
    QTest::newRow("logo file present") << true << "row [stretch, QSvgWidget fixed 150x40, stretch]";
    QTest::newRow("logo file missing")
        << false << "QLabel \"Brinvast Uninstaller\" 12pt bold centred";
}

void WindowTest::showsItsItemsInOrder() {
    QFETCH(bool, logo);
    QFETCH(QString, top);
    const TempDir root;
    BrinvastUninstallerGUI window(locations_with(root, false, logo));
    window.show();
    QLayout* layout = window.centralWidget()->layout();
    // How wide the buttons are depends on the font (captionsFitTheirButtons).
    const int width = window.findChild<QPushButton*>("standard_btn")->width();
    QCOMPARE(describe(layout),
             QStringList(
                 {top, "QLabel \"Application & Data Removal Utility\" 16pt bold centred wrapped",
                  QString("QLabel \"Choose an uninstallation option:\" %1pt centred wrapped")
                      .arg(QFont().pointSize()),
                  "QFrame",
                  QString("row [stretch, QPushButton \" Uninstall Database\" fixed %1x50, stretch]")
                      .arg(width),
                  QString("row [stretch, QPushButton \"Complete Removal\" fixed %1x50, stretch]")
                      .arg(width)}));
    QCOMPARE(layout->spacing(), 12);
    QCOMPARE(layout->contentsMargins(), QMargins(20, 15, 20, 15));
    QCOMPARE(window.findChildren<QPushButton*>().size(), 2);
    if (logo) QVERIFY(window.findChild<QSvgWidget*>()->renderer()->isValid());
}

void WindowTest::hasAFixedSizeAndItsOwnLooks() {
    const TempDir root;
    BrinvastUninstallerGUI window(locations_with(root, false, false));
    QCOMPARE(window.windowTitle(), "Brinvast Uninstaller");
    QCOMPARE(window.geometry(), QRect(100, 100, 400, 450));
    QCOMPARE(window.minimumSize(), QSize(400, 450));
    QCOMPARE(window.maximumSize(), QSize(400, 450));
    QVERIFY(window.uninstaller == nullptr);

    auto* standard = window.findChild<QPushButton*>("standard_btn");
    auto* complete = window.findChild<QPushButton*>("complete_btn");
    QCOMPARE(compact(standard->styleSheet()), BUTTON_SHEET);
    QCOMPARE(compact(complete->styleSheet()), BUTTON_SHEET + REMOVAL_SHEET);
    QCOMPARE(compact(window.styleSheet()),
             "QMainWindow{background-color:#f8f8f8}QLabel{color:#333333}");

    // Qt drops a sheet that it cannot parse, so check that the colours reach the screen.
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(colour_at(&window, 2, 2), QColor("#f8f8f8"));
    QCOMPARE(colour_at(standard, 6, 25), QColor("#f0f0f0"));
    QCOMPARE(colour_at(complete, 6, 25), QColor("#ffe6e6"));
    QCOMPARE(complete->palette().color(QPalette::ButtonText), QColor("#cc0000"));
    for (QLabel* label : window.findChildren<QLabel*>()) {
        QCOMPARE(label->palette().color(QPalette::WindowText), QColor("#333333"));
    }
}

// The logo is the only place the product's name stands; a caption's leading blank is no word.
void WindowTest::screenReadersHearTheNames() {
    const TempDir root;
    BrinvastUninstallerGUI window(locations_with(root, false, true));
    QCOMPARE(accessible_name(window.findChild<QSvgWidget*>()), "Brinvast");
    QCOMPARE(accessible_name(window.findChild<QPushButton*>("standard_btn")), "Uninstall Database");
    QCOMPARE(accessible_name(window.findChild<QPushButton*>("complete_btn")), "Complete Removal");
}

void WindowTest::captionsFitTheirButtons_data() {
    QTest::addColumn<QString>("family");
    QTest::addColumn<bool>("grown");
    QTest::newRow("Debian's default font is too wide for 175") << "DejaVu Sans" << true;
    QTest::newRow("a narrower font keeps 175") << "DejaVu Sans Condensed" << false;
}

// Each caption is whole: its width, its button's padding (15) and border (2) on both sides fit
// the button. Both buttons are equally wide, centred, and no wider than the caption needs.
void WindowTest::captionsFitTheirButtons() {
    QFETCH(QString, family);
    QFETCH(bool, grown);
    const ApplicationFont font(family);
    const TempDir root;
    BrinvastUninstallerGUI window(locations_with(root, false, false));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    auto* standard = window.findChild<QPushButton*>("standard_btn");
    auto* complete = window.findChild<QPushButton*>("complete_btn");
    qreal needed = 0;
    for (QPushButton* button : {standard, complete}) {
        QCOMPARE(QFontInfo(button->font()).family(), family);
        const qreal caption = QFontMetricsF(button->font()).horizontalAdvance(button->text());
        needed = std::max(needed, caption + 2 * (15 + 2));
        QVERIFY2(caption + 2 * (15 + 2) <= button->width(), qPrintable(button->text()));
        QCOMPARE(button->height(), 50);
        const int left = button->mapTo(&window, QPoint(0, 0)).x();
        const int right = window.width() - left - button->width();
        QVERIFY(left >= 20 && qAbs(left - right) <= 1);
    }
    QCOMPARE(complete->width(), standard->width());
    QCOMPARE(standard->width() > 175, grown);
    if (grown) QVERIFY(standard->width() - 1 < needed);
}

void WindowTest::usesTheIconOnlyWhenItsFileExists_data() {
    QTest::addColumn<bool>("icon");
    QTest::newRow("icon file present") << true;
    QTest::newRow("icon file missing") << false;
}

// Both the window and the application take the icon, and only from a file that exists.
void WindowTest::usesTheIconOnlyWhenItsFileExists() {
    QFETCH(bool, icon);
    const TempDir root;
    const brinvast::Locations where = locations_with(root, icon, true);
    const QImage expected =
        icon ? image_of(QIcon(QString::fromStdString(where.ICON_PATH))) : QImage();
    QVERIFY(icon != expected.isNull());

    BrinvastUninstallerGUI window(where);
    QCOMPARE(window.testAttribute(Qt::WA_SetWindowIcon), icon);
    if (icon) QCOMPARE(image_of(window.windowIcon()), expected);

    auto* app = qobject_cast<QApplication*>(QApplication::instance());
    app->setApplicationName("unnamed");
    app->setApplicationVersion("0");
    QApplication::setWindowIcon(QIcon());
    name_application(*app, where);
    QCOMPARE(QApplication::applicationName(), "Brinvast Uninstaller");
    QCOMPARE(QApplication::applicationVersion(), "1.0");
    QCOMPARE(QApplication::windowIcon().isNull(), !icon);
    if (icon) QCOMPARE(image_of(QApplication::windowIcon()), expected);
    QApplication::setWindowIcon(QIcon());
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"
