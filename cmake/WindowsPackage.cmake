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

# The README of the zip and the installer: plain text with Windows line ends.
set(QUILLET_README_TXT ${PROJECT_BINARY_DIR}/README.txt)
configure_file(${PROJECT_SOURCE_DIR}/win/README.txt ${QUILLET_README_TXT} @ONLY NEWLINE_STYLE CRLF)
install(FILES ${QUILLET_README_TXT} DESTINATION .)

# The installer beside the zip: quillet-VERSION-win64.msi, made by wixl
# (Debian's msitools) from win/installer/quillet.wxs with the stripped
# programs, the README and the icon.
find_program(QUILLET_WIXL wixl)
if(QUILLET_WIXL AND TARGET quillet)
  set(msi ${PROJECT_BINARY_DIR}/quillet-${PROJECT_VERSION}-win64.msi)
  set(wxs ${PROJECT_SOURCE_DIR}/win/installer/quillet.wxs)
  set(stage ${PROJECT_BINARY_DIR}/msi-files)
  add_custom_command(
    OUTPUT ${msi}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:quillet> $<TARGET_FILE:quillet-cli> ${QUILLET_README_TXT}
            ${QUILLET_ICO} ${stage}
    COMMAND ${CMAKE_STRIP} ${stage}/quillet.exe ${stage}/quillet-cli.exe
    COMMAND ${CMAKE_COMMAND} -E chdir ${stage}
            ${QUILLET_WIXL} -a x64 -D Version=${PROJECT_VERSION} -D BinDir=. -D DocDir=. -D IconFile=quillet.ico
            -o ${msi} ${wxs}
    DEPENDS quillet quillet-cli ${wxs} ${QUILLET_README_TXT} ${QUILLET_ICO}
    COMMENT "Installer quillet-${PROJECT_VERSION}-win64.msi"
    VERBATIM)
  add_custom_target(quillet_msi ALL DEPENDS ${msi})
else()
  message(WARNING "wixl not found: no installer (Debian package wixl)")
endif()

# The Windows zip (bash scripts/build-windows.sh): quillet-VERSION-win64.zip
# with quillet.exe, quillet-cli.exe and README.txt at its top level (the
# install rules put them there on Windows).
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME quillet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME quillet-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR})
include(CPack)
