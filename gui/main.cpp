#include <QApplication>
#include <csignal>
#include <memory>

#include "application.h"
#include "locations.h"
#include "main_window.h"

int main(int argc, char* argv[]) {
    // Fixed before anything else runs, so later changes of HOME have no effect.
    const brinvast::Locations& where = brinvast::program_locations();
    // A reader of the report that goes away must not end a run halfway, with the bundle gone
    // and nothing rolled back: writes to a dead pipe just fail.
    std::signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<QApplication> created;
    auto* app = qobject_cast<QApplication*>(QApplication::instance());
    if (app == nullptr) {
        created = std::make_unique<QApplication>(argc, argv);
        app = created.get();
        name_application(*app, where);
    }

    BrinvastUninstallerGUI window;
    window.show();
    return app->exec();
}
