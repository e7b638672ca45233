// The update dialog's layout and the one process-wide instance through which the update
// procedure and the downloader reach its widgets.
#pragma once

#include "ui_uiupdatedialog.h"

// Null until the update dialog allocates it and builds the widgets with setupUi; freed and
// reset to null again when the dialog goes.
extern Ui::UiUpdateDialog* g_updateLayout;
