// The console window's template.
#pragma once

#include "platform/dlgtemplate.h"

namespace res {
const platform::DialogTemplate& MainDialogTemplate();
// The application icon (all sizes), loaded from the embedded resources.
const char* AppIconPath(int size);
} // namespace res
