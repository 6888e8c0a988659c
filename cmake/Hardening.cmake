# SPDX-License-Identifier: Apache-2.0
# Hardening of the programs in release builds (every configuration but
# Debug) on Linux with GCC or Clang, as Debian builds its own packages:
# position-independent executables, read-only relocations bound at start
# (RELRO, now), the stack protector and FORTIFY_SOURCE checks. Sanitizer
# and fuzz builds are Debug builds and stay as they are; the Windows
# programs are built without them.
if(NOT (UNIX AND NOT APPLE) OR MSVC)
  return()
endif()
include(CheckPIESupported)
check_pie_supported(OUTPUT_VARIABLE pie_output LANGUAGES C CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(release "$<NOT:$<CONFIG:Debug>>")
add_compile_options(
  "$<${release}:-fstack-protector-strong>"
  "$<${release}:-fstack-clash-protection>"
  "$<${release}:-U_FORTIFY_SOURCE>"
  "$<${release}:-D_FORTIFY_SOURCE=2>")
add_link_options("$<${release}:LINKER:-z,relro>" "$<${release}:LINKER:-z,now>")
