# The Windows build: zvspool.exe from the application code on the real Win32 API, linked
# statically so it runs without extra DLLs; and the test suite against the portable layer's
# in-memory printer, so the same recorded-output tests run on Windows.
set(ZV_APP_SOURCES
  app/main_window.cpp
  diag/font_sample.cpp
  diag/test_page.cpp
  render/font_factory.cpp
  render/print_job.cpp
  spool/default_printer.cpp
  spool/poller.cpp)

add_executable(zvspool WIN32 ${ZV_APP_SOURCES} app/winmain.cpp)
target_include_directories(zvspool PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(zvspool PRIVATE gdi32 user32 winspool)
target_link_options(zvspool PRIVATE -static)
install(TARGETS zvspool RUNTIME DESTINATION .)

if(ZV_BUILD_TESTS)
  add_library(zv_portable_win STATIC
    platform/portable/device_context.cpp
    platform/portable/files.cpp
    platform/portable/fixed_font_engine.cpp
    platform/portable/gdi_objects.cpp
    platform/portable/memory_printer.cpp
    platform/portable/printers.cpp
    platform/portable/text_out.cpp
    platform/portable/user32.cpp
    ${ZV_APP_SOURCES})
  target_include_directories(zv_portable_win PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_definitions(zv_portable_win PUBLIC ZV_PORTABLE_WIN32)

  # Debian ships GoogleTest as source; build it with the cross compiler.
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

  enable_testing()
  add_executable(zv_tests
    tests/job_helpers.cpp
    tests/test_app.cpp
    tests/test_font_factory.cpp
    tests/test_gdi.cpp
    tests/test_poller.cpp
    tests/test_print_job.cpp)
  target_link_libraries(zv_tests PRIVATE zv_portable_win gtest_main)
  target_link_options(zv_tests PRIVATE -static)
  # One Wine process for the whole suite: each start costs seconds.
  add_test(NAME windows_tests COMMAND zv_tests)
  set_tests_properties(windows_tests PROPERTIES TIMEOUT 300)
endif()

if(ZV_BUILD_TESTS)
  # zvspool.exe itself under Wine and Xvfb, printing through CUPS.
  add_test(NAME wine_end_to_end
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/e2e/wine_end_to_end.sh $<TARGET_FILE:zvspool>)
  set_tests_properties(wine_end_to_end PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE SKIP_RETURN_CODE 77)
endif()
