# GoogleTest for both trees: the system copy natively, a MinGW build of the
# Debian sources for Windows (run under Wine through the emulator).
if(WIN32)
  if(NOT TARGET gtest)
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  endif()
  set(BV_GTEST gtest gtest_main)
else()
  find_package(GTest REQUIRED)
  set(BV_GTEST GTest::gtest GTest::gtest_main)
endif()
include(GoogleTest)

# bv_add_test(NAME SOURCES... LIBS ...): one test binary, its cases registered
# with ctest one by one.
function(bv_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} ${BV_GTEST})
  if(WIN32)
    # One Wine process per binary: starting a Windows process costs far more
    # than a native one, so the cases of a binary run together.
    add_test(NAME ${name} COMMAND ${name})
    if(T_PROPERTIES)
      set_tests_properties(${name} PROPERTIES ${T_PROPERTIES})
    endif()
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${T_PROPERTIES})
  endif()
endfunction()
