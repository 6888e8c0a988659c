// The dialog as a picture: its client area as the window draws itself,
// written as .bmp, or as .png through the system's imaging codecs.
#pragma once

#include <string>

#include "platform/WindowsHeaders.h"

namespace quillet::win {

// False with `error` set when the picture could not be made or written.
bool SaveClientImage(HWND hwnd, const std::string& path, std::string& error);

} // namespace quillet::win
