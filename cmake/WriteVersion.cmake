# Writes the program version into a C++ source: the version of project()
# and, when the sources are a git work tree and git is there, what
# `git describe` says of them. Run at every build; the file is only
# rewritten when its text changes, so an unchanged version rebuilds nothing.
#   -DOUT=file.cpp -DVERSION=x.y -DSOURCE_DIR=dir [-DGIT=path]
include(${CMAKE_CURRENT_LIST_DIR}/VersionText.cmake)
set(source "// Written by cmake/WriteVersion.cmake at build time.\n#include \"platform/Version.h\"\n\nconst char* quillet::VersionText() { return \"${text}\"; }\n")
file(WRITE "${OUT}.new" "${source}")
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
