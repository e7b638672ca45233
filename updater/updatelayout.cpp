#include "updatelayout.h"

Ui::UiUpdateDialog* g_updateLayout = nullptr;
