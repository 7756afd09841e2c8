# The Windows build, included by CMakeLists.txt under the mingw-w64 toolchain: the core and
# the Win32 platform, no Qt. Tests run under Wine through CMAKE_CROSSCOMPILING_EMULATOR.
enable_language(RC)
# GCC 12 warns wrongly about overlapping copies in "text" + std::string when optimising
# (GCC bug 105651).
add_compile_options(-Wno-restrict)

kelvane_core_sources(WIN_CORE_SOURCES win/*.cpp window/win/*.cpp)
add_library(kelvane_core STATIC ${WIN_CORE_SOURCES})
target_include_directories(kelvane_core PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(kelvane_core PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                                               _WIN32_WINNT=0x0601)
target_link_libraries(kelvane_core PUBLIC comctl32 comdlg32 ntdll bcrypt)

# A window program (no console of its own); standard streams reach a caller that hands
# them over, as a scheduled task or a shell with redirection does.
add_executable(kelvane WIN32 app/win_main.cpp app/kelvane.rc)
target_link_libraries(kelvane PRIVATE kelvane_core)
target_link_options(kelvane PRIVATE -municode $<$<CONFIG:Release>:-s>)

if(KELVANE_TESTS)
  enable_testing()
  # Debian has no GoogleTest for mingw: built from the sources of the googletest package.
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  include(GoogleTest)

  # kelvane.exe that stops at a chosen step of putting its table in place, for the tests that
  # end a build there as a kill would: made by test builds only, so the shipped program has no
  # such stop.
  add_executable(kelvane_stopping WIN32 tests/win/stopping_kelvane.cpp)
  target_link_libraries(kelvane_stopping PRIVATE kelvane_core)
  target_link_options(kelvane_stopping PRIVATE -municode)

  function(add_wine_tests target)
    add_executable(${target} ${ARGN} tests/win/win_scratch.cpp tests/win/temp_folder_win.cpp)
    target_link_libraries(${target} PRIVATE kelvane_core gtest_main)
    target_compile_definitions(${target} PRIVATE KELVANE_EXE="$<TARGET_FILE:kelvane>"
                                                 KELVANE_STOPPING_EXE="$<TARGET_FILE:kelvane_stopping>")
    add_dependencies(${target} kelvane kelvane_stopping)
    # Listed when CTest runs (under the display scripts/test-windows.sh provides), not at
    # build time, so that building needs no Wine.
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                         NO_PRETTY_VALUES PROPERTIES TIMEOUT 120 ${WINE_TEST_PROPERTIES})
  endfunction()

  # The platform's own tests run side by side; those that show windows and type keys into
  # them take turns, so that keys never reach another test's window.
  # With them the core's own tests, the Windows platform under their fake one; those parts
  # that make links or need POSIX skip themselves, and the tests that are all POSIX (links,
  # processes started with fork, mounts) are left out.
  file(GLOB CORE_TESTS CONFIGURE_DEPENDS base/*_test.cpp startup/*_test.cpp settings/*_test.cpp
       engine/*_test.cpp report/*_test.cpp follow/*_test.cpp)
  file(GLOB WIN_PLATFORM_TESTS CONFIGURE_DEPENDS tests/win/win_*_test.cpp)
  list(FILTER WIN_PLATFORM_TESTS EXCLUDE REGEX "win_(window(_[a-z]+)?|process)_test\\.cpp$")
  add_wine_tests(kelvane_win_tests ${WIN_PLATFORM_TESTS} ${CORE_TESTS}
                 tests/table_safety_test.cpp tests/fault_sweep_test.cpp
                 tests/hostile_names_test.cpp tests/entry_encoding_test.cpp
                 tests/support/test_platform.cpp tests/support/faults.cpp
                 tests/support/faulty_files.cpp tests/support/recorded_messages.cpp
                 tests/support/recorded_processes.cpp tests/support/scratch_tree.cpp
                 tests/support/build_tree.cpp tests/support/played_watches.cpp)
  set(WINE_TEST_PROPERTIES RESOURCE_LOCK desktop)
  add_wine_tests(kelvane_desktop_tests tests/win/win_window_test.cpp
                 tests/win/win_window_keys_test.cpp tests/win/win_window_boxes_test.cpp
                 tests/win/win_window_build_test.cpp
                 tests/win/win_person.cpp tests/win/win_process_test.cpp
                 tests/support/test_platform.cpp tests/support/faults.cpp
                 tests/support/faulty_files.cpp tests/support/recorded_messages.cpp
                 tests/support/recorded_processes.cpp app/kelvane.rc)
endif()
