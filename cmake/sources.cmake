# Source lists shared by the Linux and the Windows build.

# The portable Win32 layer's core: device contexts, objects, text, the in-memory printer, file
# search and the message loop need nothing but the standard library.
set(ZV_PORTABLE_CORE_SOURCES
  platform/portable/device_context.cpp
  platform/portable/errors.cpp
  platform/portable/fixed_font_engine.cpp
  platform/portable/gdi_objects.cpp
  platform/portable/memory_printer.cpp
  platform/portable/printers.cpp
  platform/portable/text_out.cpp
  platform/portable/user32.cpp)
# KERNEL32 on Linux; the Windows test build links the real one.
set(ZV_PORTABLE_KERNEL32_SOURCES platform/portable/files.cpp platform/portable/kernel32.cpp)

set(ZV_RENDER_SOURCES render/font_factory.cpp render/print_job.cpp)
set(ZV_SPOOL_SOURCES spool/default_printer.cpp spool/event_log.cpp spool/job_records.cpp
  spool/poller.cpp)
# The window procedure, the test sheet and the font sample; WinMain is app/winmain.cpp.
set(ZV_APP_SOURCES app/main_window.cpp app/spool_folder.cpp diag/font_sample.cpp diag/test_page.cpp)

set(ZV_WINDOWS_TEST_SOURCES
  tests/job_helpers.cpp
  tests/test_app.cpp
  tests/test_font_factory.cpp
  tests/test_gdi.cpp
  tests/test_handover.cpp
  tests/test_kernel32.cpp
  tests/test_log.cpp
  tests/test_poller.cpp
  tests/test_print_job.cpp)
