// A dialog template: the window and its controls in dialog units, as data.
#pragma once

#include <span>

namespace platform {

enum class ControlClass { Button, Static, ProgressBar };

struct ControlTemplate {
    int id; // IDC_STATIC for labels
    ControlClass cls;
    const char* text; // UTF-8; nullptr for none
    int x, y, cx, cy; // dialog units
};

struct DialogTemplate {
    int id;
    const char* title; // UTF-8
    int cx, cy;        // client size, dialog units
    const char* fontFace;
    int pointSize;
    std::span<const ControlTemplate> controls; // template order = tab order
};

} // namespace platform
