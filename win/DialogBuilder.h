// The program's dialog templates (dialog/DialogTemplate.h) as the in-memory
// templates the Windows dialog manager takes (DialogBoxIndirect): dialog
// units, ids, window classes and styles, captions, start states and the
// font "MS Sans Serif" 8 pt, which the system maps to the font it has.
#pragma once

#include <cstdint>
#include <vector>

#include "dialog/DialogTemplate.h"

namespace quillet::win {

// A DLGTEMPLATE with its items, DWORD-aligned, ready for DialogBoxIndirect.
std::vector<std::uint16_t> BuildDialogTemplate(const DialogTemplate& t);

} // namespace quillet::win
