# The Windows build, included by CMakeLists.txt under the mingw-w64 toolchain: the core and
# the Win32 platform, no Qt. Tests run under Wine through CMAKE_CROSSCOMPILING_EMULATOR.
enable_language(RC)

set(CORE_DIRS startup settings build report window)
file(GLOB WIN_CORE_SOURCES CONFIGURE_DEPENDS platform/failure.cpp platform/win/win_*.cpp)
list(FILTER WIN_CORE_SOURCES EXCLUDE REGEX "(_test|win_main)\\.cpp$")
foreach(dir ${CORE_DIRS})
  file(GLOB dir_sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  list(FILTER dir_sources EXCLUDE REGEX "_test\\.cpp$")
  list(APPEND WIN_CORE_SOURCES ${dir_sources})
endforeach()
add_library(kelvane_core STATIC ${WIN_CORE_SOURCES})
target_include_directories(kelvane_core PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(kelvane_core PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                                               _WIN32_WINNT=0x0601)
target_link_libraries(kelvane_core PUBLIC comctl32 comdlg32 ntdll)

# A window program (no console of its own); standard streams reach a caller that hands
# them over, as a scheduled task or a shell with redirection does.
add_executable(kelvane WIN32 platform/win/win_main.cpp platform/win/kelvane.rc)
target_link_libraries(kelvane PRIVATE kelvane_core)
target_link_options(kelvane PRIVATE -municode $<$<CONFIG:Release>:-s>)

if(KELVANE_TESTS)
  enable_testing()
  # Debian has no GoogleTest for mingw: built from the sources of the googletest package.
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  include(GoogleTest)

  file(GLOB WIN_TEST_SOURCES CONFIGURE_DEPENDS tests/win/*.cpp settings/field_reader_test.cpp)
  add_executable(kelvane_win_tests ${WIN_TEST_SOURCES} platform/win/kelvane.rc)
  target_link_libraries(kelvane_win_tests PRIVATE kelvane_core gtest_main)
  target_compile_definitions(kelvane_win_tests PRIVATE KELVANE_EXE="$<TARGET_FILE:kelvane>")
  add_dependencies(kelvane_win_tests kelvane)
  # Listed when CTest runs (under the display scripts/test-windows.sh provides), not at
  # build time, so that building needs no Wine.
  gtest_discover_tests(kelvane_win_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                       NO_PRETTY_VALUES PROPERTIES TIMEOUT 120)
endif()
