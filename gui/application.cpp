// SPDX-License-Identifier: MIT
#include "application.h"

#include <QIcon>

#include "fs.h"

void name_application(QApplication& app, const brinvast::Locations& where) {
    app.setApplicationName("Brinvast Uninstaller");
    app.setApplicationVersion("1.0");
    if (brinvast::path_exists(where.ICON_PATH)) {
        app.setWindowIcon(QIcon(QString::fromStdString(where.ICON_PATH)));
    }
}
