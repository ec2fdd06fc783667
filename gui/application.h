// SPDX-License-Identifier: MIT
#pragma once

#include <QApplication>

#include "locations.h"

// Names a newly created application and gives it its icon when the icon file is there.
void name_application(QApplication& app, const brinvast::Locations& where);
