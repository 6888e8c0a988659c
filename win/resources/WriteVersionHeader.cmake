# Writes the version the programs' version information shows, as a
# resource-compiler header: #define QUILLET_VERSION_TEXT "0.91 (git f4b60a6)"
# (the same text as --version). Run at every build; rewritten only when the
# text changes.
#   -DOUT=file.h -DVERSION=x.y -DSOURCE_DIR=dir [-DGIT=path]
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/VersionText.cmake)
file(WRITE "${OUT}.new" "#define QUILLET_VERSION_TEXT \"${text}\"\n")
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
