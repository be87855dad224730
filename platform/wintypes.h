// The handful of framework types and constants the console's code is written in.
#pragma once

#include <cstdint>

using UINT = unsigned int;
using BOOL = int;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using INT_PTR = std::intptr_t;
using LPVOID = void*;
using AFX_THREADPROC = UINT (*)(LPVOID);

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
inline constexpr UINT WM_USER = 0x0400;
inline constexpr INT_PTR IDOK = 1;
inline constexpr INT_PTR IDCANCEL = 2;
inline constexpr int IDC_STATIC = -1;
inline constexpr int THREAD_PRIORITY_HIGHEST = 2;
inline constexpr UINT MB_OK = 0;
