# The Windows programs' resources (icon, version information, manifest)
# and the checks of them (ctest label "resources").
include(${PROJECT_SOURCE_DIR}/win/resources/Resources.cmake)
quillet_windows_resources(quillet-cli "Quillet command line for video test instruments")
if(TARGET quillet)
  quillet_windows_resources(quillet "Quillet service dialog for video test instruments")
endif()
if(QUILLET_TESTS)
  find_program(QUILLET_OBJDUMP NAMES ${CMAKE_OBJDUMP} x86_64-w64-mingw32-objdump)
  foreach(program quillet quillet-cli)
    if(NOT TARGET ${program})
      continue()
    endif()
    set(kind console)
    if(program STREQUAL "quillet")
      set(kind gui)
    endif()
    add_test(NAME WindowsResources.${program}
             COMMAND python3 ${PROJECT_SOURCE_DIR}/tests/wine/check_resources.py
                     $<TARGET_FILE:${program}> ${kind} ${PROJECT_VERSION} ${QUILLET_OBJDUMP})
    set_tests_properties(WindowsResources.${program} PROPERTIES LABELS resources TIMEOUT 60)
  endforeach()
endif()

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
