// Modal message box captioned with the application's name.
#pragma once

#include "platform/cp949string.h"
#include "platform/wintypes.h"

#include <QString>

#include <functional>

namespace platform {

// Replaces the real box, for tests; an empty function restores it.
using MessageBoxHandler =
    std::function<int(const QString& caption, const QString& text, UINT type)>;
void SetMessageBoxHandler(MessageBoxHandler handler);

} // namespace platform

int AfxMessageBox(const CString& text, UINT type = MB_OK);
