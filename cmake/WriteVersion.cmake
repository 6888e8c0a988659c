# Writes the program version into a C++ source: the version of project()
# and, when the sources are a git work tree and git is there, what
# `git describe` says of them. Run at every build; the file is only
# rewritten when its text changes, so an unchanged version rebuilds nothing.
#   -DOUT=file.cpp -DVERSION=x.y -DSOURCE_DIR=dir [-DGIT=path]
set(text "${VERSION}")
if(GIT)
  execute_process(
    COMMAND "${GIT}" -C "${SOURCE_DIR}" describe --tags --always --dirty
    OUTPUT_VARIABLE described
    ERROR_QUIET
    RESULT_VARIABLE failed
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT failed AND described)
    set(text "${VERSION} (git ${described})")
  endif()
endif()
set(source "// Written by cmake/WriteVersion.cmake at build time.\n#include \"platform/Version.h\"\n\nconst char* quillet::VersionText() { return \"${text}\"; }\n")
file(WRITE "${OUT}.new" "${source}")
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
