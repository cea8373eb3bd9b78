# The Windows build: zvspool.exe from the application code on the real Win32 API, linked
# statically so it runs without extra DLLs; and the test suite against the portable layer's
# in-memory printer, so the same recorded-output tests run on Windows.
set(zv_application ${ZV_APP_SOURCES} ${ZV_SPOOL_SOURCES} ${ZV_RENDER_SOURCES})

add_executable(zvspool WIN32 ${zv_application} app/winmain.cpp)
target_include_directories(zvspool PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(zvspool PRIVATE gdi32 user32 winspool)
target_link_options(zvspool PRIVATE -static)
install(TARGETS zvspool RUNTIME DESTINATION .)

if(ZV_BUILD_TESTS)
  add_library(zv_portable_win STATIC ${ZV_PORTABLE_CORE_SOURCES} ${ZV_PORTABLE_TESTING_SOURCES}
    ${zv_application} app/winmain.cpp)
  target_include_directories(zv_portable_win PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_definitions(zv_portable_win PUBLIC ZV_PORTABLE_WIN32)

  # Debian ships GoogleTest as source; build it with the cross compiler.
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

  enable_testing()
  add_executable(zv_tests ${ZV_WINDOWS_TEST_SOURCES})
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

if(ZV_BUILD_TESTS)
  # The conformance tests against the real GDI32 and WINSPOOL, as the Linux build runs them
  # against the portable layer.
  add_executable(conformance_tests
    tests/conformance/conformance.cpp
    tests/conformance/device_contexts.cpp
    tests/conformance/fonts.cpp
    tests/conformance/printers.cpp
    render/font_factory.cpp
    spool/default_printer.cpp
    spool/event_log.cpp)
  target_include_directories(conformance_tests PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(conformance_tests PRIVATE gtest_main gdi32 user32 winspool)
  target_link_options(conformance_tests PRIVATE -static)
  add_test(NAME conformance_under_wine
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/conformance/under_wine.sh
            $<TARGET_FILE:conformance_tests>)
  set_tests_properties(conformance_under_wine PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE
                       SKIP_RETURN_CODE 77)
endif()
