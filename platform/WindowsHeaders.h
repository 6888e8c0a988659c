// <windows.h> for the program's Windows code: without min/max macros and
// the rarely used parts, and without the A/W macros that would rename the
// platform layer's own MessageBox and SetCurrentDirectory (the Windows code
// calls the wide-character functions by their full names).
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#undef MessageBox
#undef SetCurrentDirectory
#endif
