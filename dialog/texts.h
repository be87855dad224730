// The console's own texts and fixed request values, each in one table.
#pragma once

#include "platform/cp949string.h"

#include <cstdint>
#include <optional>

namespace texts {

// Korean state text for a download state code; none for unknown codes.
std::optional<CString> StateText(std::int32_t state);
// Korean text for a refused start's code; none for unknown codes.
std::optional<CString> StartErrorText(std::int32_t code);

CString Registered();    // registration answered yes
CString NotRegistered(); // registration answered no

} // namespace texts
