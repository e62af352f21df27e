# Windows resources of the programs: version information, the product icon
# and the application manifest, compiled with the toolchain's windres. The
# file and product version of every program is the project's VERSION.
set(BV_COMPANY "Harrow Lane Software")
set(BV_PRODUCT "BVStartup")

if(NOT WIN32)
  return()
endif()
enable_language(RC)

# The icon file is drawn at build time by our own picture code. Cross-built,
# its writer is compiled for the build machine (the Windows programs cannot
# run here without Wine); built on Windows, it is a program of this build.
set(BV_ICON ${CMAKE_BINARY_DIR}/bvstartup.ico)
set(bvicon_sources ${CMAKE_SOURCE_DIR}/tools/bvicon/bvicon.cpp ${CMAKE_SOURCE_DIR}/platform/pictures.cpp)
if(CMAKE_CROSSCOMPILING)
  find_program(BV_HOST_CXX NAMES c++ g++ clang++ REQUIRED)
  set(bv_icon_writer ${CMAKE_BINARY_DIR}/bvicon-host)
  add_custom_command(
    OUTPUT ${bv_icon_writer}
    COMMAND ${BV_HOST_CXX} -std=c++20 -O2 -I${CMAKE_SOURCE_DIR} ${bvicon_sources} -lz -o ${bv_icon_writer}
    DEPENDS ${bvicon_sources} ${CMAKE_SOURCE_DIR}/platform/pictures.h
    COMMENT "Building the icon writer for the build machine")
else()
  add_executable(bvicon ${bvicon_sources})
  target_link_libraries(bvicon PRIVATE ZLIB::ZLIB)
  set(bv_icon_writer bvicon)
endif()
add_custom_command(
  OUTPUT ${BV_ICON}
  COMMAND ${bv_icon_writer} ${BV_ICON}
  DEPENDS ${bv_icon_writer}
  COMMENT "Drawing the product icon")
add_custom_target(bv_icon DEPENDS ${BV_ICON})

# bv_add_resources(TARGET DESCRIPTION text [WINDOWS_APP])
# Gives the program its version information, the product icon and a
# manifest. WINDOWS_APP adds what a windowed program needs: common controls
# of version 6 and per-monitor DPI awareness.
function(bv_add_resources target)
  cmake_parse_arguments(R "WINDOWS_APP" "DESCRIPTION" "" ${ARGN})
  set(BV_DESCRIPTION ${R_DESCRIPTION})
  set(BV_FILE_NAME ${target}.exe)
  set(BV_INTERNAL_NAME ${target})
  string(REPLACE "." "," BV_VERSION_COMMAS ${PROJECT_VERSION})
  set(BV_MANIFEST_WINDOWS "")
  if(R_WINDOWS_APP)
    file(READ ${CMAKE_SOURCE_DIR}/cmake/manifest-windows.xml BV_MANIFEST_WINDOWS)
  endif()
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}-res)
  set(BV_MANIFEST_FILE ${dir}/${target}.manifest)
  set(BV_ICON_FILE ${BV_ICON})
  configure_file(${CMAKE_SOURCE_DIR}/cmake/app.manifest.in ${BV_MANIFEST_FILE} @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/resources.rc.in ${dir}/${target}.rc @ONLY)
  set_source_files_properties(${dir}/${target}.rc PROPERTIES OBJECT_DEPENDS "${BV_ICON};${BV_MANIFEST_FILE}")
  target_sources(${target} PRIVATE ${dir}/${target}.rc)
  add_dependencies(${target} bv_icon)
endfunction()
