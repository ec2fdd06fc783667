// SPDX-License-Identifier: MIT
#include <QApplication>
#include <QMessageBox>
#include <csignal>
#include <iostream>
#include <memory>

#include "application.h"
#include "locations.h"
#include "main_window.h"

namespace {

// Without a real home directory the product's folders can't be found, so nothing is looked at:
// the user learns why in a box of its own, and the window never opens.
int refuse_to_start(int argc, char* argv[], const char* reason) {
    std::cerr << "brinvast-uninstaller: " << reason << '\n';
    const QApplication app(argc, argv);
    QMessageBox::critical(nullptr, "Error",
                          "Brinvast Uninstaller cannot start:\n" + QString::fromUtf8(reason));
    return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
    // Fixed before anything else runs, so later changes of HOME have no effect.
    const brinvast::Locations* where = nullptr;
    try {
        where = &brinvast::program_locations();
    } catch (const brinvast::NoHomeDirectory& error) {
        return refuse_to_start(argc, argv, error.what());
    }
    // A reader of the report that goes away must not end a run halfway, with the bundle gone
    // and nothing rolled back: writes to a dead pipe just fail.
    std::signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<QApplication> created;
    auto* app = qobject_cast<QApplication*>(QApplication::instance());
    if (app == nullptr) {
        created = std::make_unique<QApplication>(argc, argv);
        app = created.get();
        name_application(*app, *where);
    }

    BrinvastUninstallerGUI window;
    window.show();
    return app->exec();
}
