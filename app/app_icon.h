#pragma once

#include <QIcon>

// Icon resource 128 in all its sizes, compiled into the program.
QIcon loadAppIcon();

// Lets icon controls in dialog templates show icon resource 128.
void installAppIconLoader();
