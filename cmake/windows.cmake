# The Windows build: zvspool.exe from the application code on the real Win32 API, linked
# statically so it runs without extra DLLs; and the test suite against the portable layer's
# in-memory printer, so the same recorded-output tests run on Windows.
set(zv_application ${ZV_APP_SOURCES} ${ZV_SPOOL_SOURCES} ${ZV_RENDER_SOURCES})

# The program's icon, made from the drawing at every size Explorer and the taskbar ask for; the
# 256-pixel one is kept as PNG inside the .ico, as Windows reads it, which keeps the file small.
enable_language(RC)
find_program(ZV_RSVG_CONVERT rsvg-convert REQUIRED)
find_program(ZV_ICOTOOL icotool REQUIRED)
set(zv_icon_svg ${PROJECT_SOURCE_DIR}/packaging/icons/zvspool.svg)
set(ZV_ICON_FILE ${CMAKE_BINARY_DIR}/packaging/zvspool.ico)
set(zv_icon_pngs)
foreach(size 16 24 32 48 256)
  set(png ${CMAKE_BINARY_DIR}/packaging/zvspool-${size}.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${ZV_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${zv_icon_svg}
    DEPENDS ${zv_icon_svg} VERBATIM)
  list(APPEND zv_icon_pngs ${png})
endforeach()
list(POP_BACK zv_icon_pngs zv_icon_png_256)
add_custom_command(OUTPUT ${ZV_ICON_FILE}
  COMMAND ${ZV_ICOTOOL} -c -o ${ZV_ICON_FILE} ${zv_icon_pngs} -r ${zv_icon_png_256}
  DEPENDS ${zv_icon_pngs} ${zv_icon_png_256} VERBATIM)

# The version resource follows project(): a version with no patch number is x.y.0.
set(ZV_VERSION_PATCH ${PROJECT_VERSION_PATCH})
if(ZV_VERSION_PATCH STREQUAL "")
  set(ZV_VERSION_PATCH 0)
endif()
configure_file(packaging/windows/zvspool.rc.in ${CMAKE_BINARY_DIR}/packaging/zvspool.rc @ONLY)
set_source_files_properties(${CMAKE_BINARY_DIR}/packaging/zvspool.rc PROPERTIES
  OBJECT_DEPENDS ${ZV_ICON_FILE})

add_executable(zvspool WIN32 ${zv_application} app/winmain.cpp platform/windows/spooler_jobs.cpp
  ${CMAKE_BINARY_DIR}/packaging/zvspool.rc)
target_include_directories(zvspool PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(zvspool PRIVATE gdi32 user32 winspool shell32 advapi32)
target_link_options(zvspool PRIVATE -static)
install(TARGETS zvspool RUNTIME DESTINATION .)

# What users get: the program without its symbols, README.txt with Windows line ends, the
# calibration sheet (a job file: its bytes as they are), and, where makensis is installed, the
# installer zvspool-VERSION-setup.exe holding them.
set(zv_package_dir ${CMAKE_BINARY_DIR}/packaging/files)
configure_file(packaging/windows/README.txt ${zv_package_dir}/README.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(samples/calibration.zv ${zv_package_dir}/calibration.zv COPYONLY)
add_custom_command(OUTPUT ${zv_package_dir}/zvspool.exe
  COMMAND ${CMAKE_STRIP} -o ${zv_package_dir}/zvspool.exe $<TARGET_FILE:zvspool>
  DEPENDS zvspool VERBATIM)
add_custom_target(windows_files ALL DEPENDS ${zv_package_dir}/zvspool.exe)
find_program(ZV_MAKENSIS makensis)
if(ZV_MAKENSIS)
  set(ZV_SETUP_EXE ${CMAKE_BINARY_DIR}/zvspool-${PROJECT_VERSION}-setup.exe)
  set(zv_nsi ${PROJECT_SOURCE_DIR}/packaging/windows/zvspool.nsi)
  add_custom_command(OUTPUT ${ZV_SETUP_EXE}
    COMMAND ${ZV_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DEXE=${zv_package_dir}/zvspool.exe
            -DREADME=${zv_package_dir}/README.txt -DCALIBRATION=${zv_package_dir}/calibration.zv
            -DICON=${ZV_ICON_FILE} -DOUTFILE=${ZV_SETUP_EXE}
            ${zv_nsi}
    DEPENDS ${zv_nsi} ${zv_package_dir}/zvspool.exe ${zv_package_dir}/README.txt
            ${zv_package_dir}/calibration.zv ${ZV_ICON_FILE}
    VERBATIM)
  add_custom_target(windows_installer ALL DEPENDS ${ZV_SETUP_EXE})
  add_dependencies(windows_installer windows_files)
endif()

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
  target_link_libraries(zv_tests PRIVATE zv_portable_win gtest_main shell32 advapi32)
  target_link_options(zv_tests PRIVATE -static)
  # One Wine process for the whole suite: each start costs seconds.
  add_test(NAME windows_tests
    COMMAND sh ${PROJECT_SOURCE_DIR}/tests/wine_suite.sh $<TARGET_FILE:zv_tests>)
  set_tests_properties(windows_tests PROPERTIES TIMEOUT 300)
endif()

if(ZV_BUILD_TESTS)
  # zvspool.exe itself under Wine and Xvfb, printing through CUPS.
  add_test(NAME wine_end_to_end
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/e2e/wine_end_to_end.sh $<TARGET_FILE:zvspool>)
  set_tests_properties(wine_end_to_end PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE SKIP_RETURN_CODE 77)
endif()

if(ZV_BUILD_TESTS AND ZV_MAKENSIS)
  # The installer under Wine: a silent install into a folder holding a job, then the uninstall,
  # which must leave that job where it was. The recorder stands in for schtasks.exe, to show
  # what the installer gives it.
  add_executable(argv_recorder tests/packaging/argv_recorder.c)
  target_link_options(argv_recorder PRIVATE -static)
  add_test(NAME windows_installer
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/packaging/windows_installer.sh ${ZV_SETUP_EXE}
            $<TARGET_FILE:argv_recorder>)
  set_tests_properties(windows_installer PROPERTIES TIMEOUT 120 RUN_SERIAL TRUE SKIP_RETURN_CODE 77)
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
    spool/event_log.cpp
    spool/folder_printer.cpp
    spool/spool_options.cpp
    platform/windows/spooler_jobs.cpp)
  target_include_directories(conformance_tests PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(conformance_tests PRIVATE gtest_main gdi32 user32 winspool)
  target_link_options(conformance_tests PRIVATE -static)
  add_test(NAME conformance_under_wine
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/conformance/on_office_printer.sh
            $<TARGET_FILE:conformance_tests>)
  set_tests_properties(conformance_under_wine PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE
                       SKIP_RETURN_CODE 77)
endif()
