// The program's icons as drawings: 128 the application (a monitor showing
// colour bars, with a quill), 133 the port closed (a grey serial plug with a
// red bar across) and 134 the port open (a green plug with a spark). Each
// is a short list of shapes on a 32 x 32 grid, rendered here to pixels at
// any size; the Qt and the Win32 dialogs both show these pixels.
#pragma once

#include <cstdint>
#include <vector>

namespace quillet {

// Icon `iconId` at `size` x `size` pixels, rows top to bottom, each pixel
// 0xAARRGGBB (straight, not premultiplied alpha); empty for an id that is
// not one of the program's icons.
std::vector<std::uint32_t> RenderIcon(int iconId, int size);

} // namespace quillet
