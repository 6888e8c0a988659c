# The Windows programs' resources, compiled with mingw's windres: the
# application icon (icon 128, drawn at build time from the program's icon
# art by a small tool built for the build machine), the version information
# (the build's version) and the application manifest (per-monitor DPI v2,
# long paths, common controls 6, Windows 10 and 11).
#   quillet_windows_resources(TARGET "description")
enable_language(RC)

set(QUILLET_RESOURCE_DIR ${PROJECT_BINARY_DIR}/resources)
set(QUILLET_RESOURCE_SOURCES ${CMAKE_CURRENT_LIST_DIR})
file(MAKE_DIRECTORY ${QUILLET_RESOURCE_DIR})

# The icon tool runs here, while cross-building: built with the build
# machine's compiler from the same icon art as the programs.
find_program(QUILLET_HOST_CXX NAMES g++ c++ REQUIRED)
set(QUILLET_ICO_TOOL ${QUILLET_RESOURCE_DIR}/quillet_write_ico)
set(QUILLET_ICO ${QUILLET_RESOURCE_DIR}/quillet.ico)
set(QUILLET_ICO_SIZES 16 20 24 32 40 48 64 128 256)
add_custom_command(
  OUTPUT ${QUILLET_ICO_TOOL}
  COMMAND ${QUILLET_HOST_CXX} -std=c++20 -O1 -Wall -Wextra -I${PROJECT_SOURCE_DIR}
          ${QUILLET_RESOURCE_SOURCES}/WriteIco.cpp ${PROJECT_SOURCE_DIR}/dialog/IconArt.cpp -o ${QUILLET_ICO_TOOL}
  DEPENDS ${QUILLET_RESOURCE_SOURCES}/WriteIco.cpp ${PROJECT_SOURCE_DIR}/dialog/IconArt.cpp
          ${PROJECT_SOURCE_DIR}/dialog/IconArt.h ${PROJECT_SOURCE_DIR}/dialog/Resources.h
  COMMENT "Icon writer for the build machine"
  VERBATIM)
add_custom_command(
  OUTPUT ${QUILLET_ICO}
  COMMAND ${QUILLET_ICO_TOOL} ${QUILLET_ICO} ${QUILLET_ICO_SIZES}
  DEPENDS ${QUILLET_ICO_TOOL}
  COMMENT "Application icon quillet.ico"
  VERBATIM)

# The version text of --version, refreshed at every build.
find_package(Git QUIET)
set(QUILLET_VERSION_HEADER ${QUILLET_RESOURCE_DIR}/version-text.h)
add_custom_target(quillet_resource_files
  COMMAND ${CMAKE_COMMAND} -DOUT=${QUILLET_VERSION_HEADER} -DVERSION=${PROJECT_VERSION}
          -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DGIT=${GIT_EXECUTABLE}
          -P ${QUILLET_RESOURCE_SOURCES}/WriteVersionHeader.cmake
  DEPENDS ${QUILLET_ICO}
  BYPRODUCTS ${QUILLET_VERSION_HEADER}
  COMMENT "Version text of the resources")

function(quillet_windows_resources target description)
  set(RC_FILENAME ${target}.exe)
  set(RC_INTERNAL ${target})
  set(RC_DESCRIPTION "${description}")
  set(RC_ICON ${QUILLET_ICO})
  set(RC_MANIFEST ${QUILLET_RESOURCE_DIR}/${target}.manifest)
  set(RC_VERSION_HEADER ${QUILLET_VERSION_HEADER})
  set(parts ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH} ${PROJECT_VERSION_TWEAK})
  set(numbers)
  foreach(part IN LISTS parts)
    if(part STREQUAL "")
      set(part 0)
    endif()
    list(APPEND numbers ${part})
  endforeach()
  string(JOIN "," RC_VERSION_COMMAS ${numbers})
  string(JOIN "." RC_VERSION_DOTS ${numbers})
  string(TIMESTAMP RC_YEAR "%Y" UTC)
  configure_file(${QUILLET_RESOURCE_SOURCES}/app.manifest.in ${RC_MANIFEST} @ONLY)
  set(rc ${QUILLET_RESOURCE_DIR}/${target}.rc)
  configure_file(${QUILLET_RESOURCE_SOURCES}/app.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  set_source_files_properties(${rc} TARGET_DIRECTORY ${target} PROPERTIES
    OBJECT_DEPENDS "${QUILLET_ICO};${RC_MANIFEST};${QUILLET_VERSION_HEADER}")
  add_dependencies(${target} quillet_resource_files)
endfunction()
