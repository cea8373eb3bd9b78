# Source lists shared by the Linux and the Windows build.

# The portable Win32 layer, one folder per subsystem as the system has its DLLs. Its core (device
# contexts, objects, text, the message loop, the print spooler's records) needs nothing but the
# standard library, and builds on Windows too for the Windows test build.
set(ZV_PORTABLE_CORE_SOURCES
  platform/portable/gdi32/dc.cpp
  platform/portable/gdi32/fixed_font_engine.cpp
  platform/portable/gdi32/font_sizes.cpp
  platform/portable/gdi32/mapping.cpp
  platform/portable/gdi32/objects.cpp
  platform/portable/gdi32/printing.cpp
  platform/portable/gdi32/text.cpp
  platform/portable/kernel32/errors.cpp
  platform/portable/user32/messages.cpp
  platform/portable/user32/windows.cpp
  platform/portable/winspool/printers.cpp)
# KERNEL32 (and the little of SHELL32 and ADVAPI32 the application calls) on Linux; the Windows
# test build links the real ones.
set(ZV_PORTABLE_KERNEL32_SOURCES
  platform/portable/kernel32/file_handles.cpp
  platform/portable/kernel32/file_services.cpp
  platform/portable/kernel32/files.cpp
  platform/portable/kernel32/messages.cpp
  platform/portable/kernel32/objects.cpp
  platform/portable/kernel32/process.cpp
  platform/portable/kernel32/writers.cpp
  platform/portable/shell32/folders.cpp)
# What only tests link: the in-memory printer and display.
set(ZV_PORTABLE_TESTING_SOURCES
  platform/portable/testing/hooks.cpp
  platform/portable/testing/memory_display.cpp
  platform/portable/testing/memory_printer.cpp)

set(ZV_RENDER_SOURCES render/font_factory.cpp render/print_job.cpp)
# The spooler's rooms, along a job's road (spool/spooler.h tells which owns what).
set(ZV_SPOOL_SOURCES
  spool/alarms.cpp
  spool/durable_folder.cpp
  spool/event_log.cpp
  spool/folder_claim.cpp
  spool/folder_printer.cpp
  spool/handover.cpp
  spool/handover_journal.cpp
  spool/job_archive.cpp
  spool/job_files.cpp
  spool/notices.cpp
  spool/poller.cpp
  spool/standing.cpp
  spool/print_document.cpp
  spool/spool_options.cpp
  spool/spool_status.cpp
  spool/spooler.cpp)
# The command line, the window procedure, the test sheet and the font sample; WinMain is
# app/winmain.cpp.
set(ZV_APP_SOURCES app/command_line.cpp app/main_window.cpp diag/font_sample.cpp
  diag/test_page.cpp)

set(ZV_WINDOWS_TEST_SOURCES
  tests/job_helpers.cpp
  tests/test_alarms.cpp
  tests/test_app.cpp
  tests/test_archive.cpp
  tests/test_claim.cpp
  tests/test_command_line.cpp
  tests/test_font_factory.cpp
  tests/test_handover.cpp
  tests/test_job_files.cpp
  tests/test_journal.cpp
  tests/test_log.cpp
  tests/test_poller.cpp
  tests/test_print_job.cpp
  tests/test_spool_options.cpp
  tests/test_status.cpp
  platform/portable/gdi32/gdi32_test.cpp
  platform/portable/kernel32/kernel32_test.cpp)
