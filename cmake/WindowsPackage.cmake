# The Windows zip (bash scripts/build-windows.sh): quillet-VERSION-win64.zip
# with quillet.exe, quillet-cli.exe and the README at its top level (the
# install rules put them there on Windows).
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME quillet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME quillet-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR})
include(CPack)
