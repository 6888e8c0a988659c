# Turns the RAM loader image into a C++ array. The board's loader is exactly
# 5446 bytes; any other size is refused so a wrong file never reaches a board.
file(SIZE "${IN}" size)
if(NOT size EQUAL 5446)
  message(FATAL_ERROR "RAM loader image ${IN} has ${size} bytes; it must have exactly 5446")
endif()
file(READ "${IN}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUT}.tmp" "// Generated from ${IN}; do not edit.\n#include <cstddef>\n#include <cstdint>\nnamespace quillet {\nextern const std::uint8_t kRamLoaderImage[5446] = {\n${bytes}};\nextern const std::size_t kRamLoaderImageSize = 5446;\n}\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
