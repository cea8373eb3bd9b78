# What `cmake --install` puts on a Linux system, and the Debian package made of it
# (scripts/package.sh). Man pages and the changelog are compressed as Debian wants them; the icon's
# PNG sizes are drawn from its SVG at build time.
include(GNUInstallDirs)
install(TARGETS zvspool zv-render RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The CUPS filter where Debian's scheduler looks for filters (lib, not the multiarch folder), its
# type and conversion where Debian's packages put theirs: the scheduler reads /usr/share/cups/mime
# besides /etc/cups, which stays the administrator's.
install(TARGETS zvtopdf RUNTIME DESTINATION lib/cups/filter)
install(FILES packaging/cups/zvspool.types packaging/cups/zvspool.convs
        DESTINATION ${CMAKE_INSTALL_DATADIR}/cups/mime)
# The unit names the program by its installed path, which is known only when installing: a
# package installs into /usr whatever prefix the build was configured with.
install(CODE "
  set(ZV_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(ZV_DOCDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/zvspool.service.in\"
                 \"${CMAKE_CURRENT_BINARY_DIR}/unit/zvspool.service\" @ONLY)
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/zvspool@.service.in\"
                 \"${CMAKE_CURRENT_BINARY_DIR}/unit/zvspool@.service\" @ONLY)")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/unit/zvspool.service
              ${CMAKE_CURRENT_BINARY_DIR}/unit/zvspool@.service
        DESTINATION lib/systemd/user)
# From boot with nobody logged in: the system template of the same name, whose instance (a folder)
# runs as the folder's owner through zvspool-as-owner.
install(CODE "
  set(ZV_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(ZV_DOCDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}\")
  set(ZV_HELPERDIR \"\${CMAKE_INSTALL_PREFIX}/lib/zvspool\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/zvspool-system@.service.in\"
                 \"${CMAKE_CURRENT_BINARY_DIR}/unit/system/zvspool@.service\" @ONLY)
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/zvspool-as-owner.in\"
                 \"${CMAKE_CURRENT_BINARY_DIR}/unit/zvspool-as-owner\" @ONLY)")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/unit/system/zvspool@.service DESTINATION lib/systemd/system)
# A program of the package's own, run by the unit only: beside the package's other private files.
install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/unit/zvspool-as-owner DESTINATION lib/zvspool)
install(FILES packaging/zvspool.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# Started with the desktop session, from the home folder (~/ZV), unless the systemd user unit is
# enabled (one of them starts it, never both): /etc/xdg/autostart when installed
# into /usr (as the package is), else under the prefix, where no desktop looks unless told.
install(CODE "
  if(\"\${CMAKE_INSTALL_PREFIX}\" STREQUAL \"/usr\")
    set(zv_autostart /etc/xdg/autostart)
  else()
    set(zv_autostart \"\${CMAKE_INSTALL_PREFIX}/etc/xdg/autostart\")
  endif()
  file(INSTALL \"${PROJECT_SOURCE_DIR}/packaging/autostart/zvspool.desktop\"
       DESTINATION \"\${zv_autostart}\")")
install(FILES README.md packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The calibration sheet the README has users print to line up pre-printed forms: data the program's
# users need, so under /usr/share/zvspool rather than the doc folder, which dpkg may be told to skip.
install(FILES samples/calibration.zv DESTINATION ${CMAKE_INSTALL_DATADIR}/zvspool)

find_program(GZIP gzip REQUIRED)
find_program(RSVG_CONVERT rsvg-convert)
set(zv_generated)
foreach(page zvspool.1 zv-render.1 zvtopdf.8)
  add_custom_command(OUTPUT man/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory man
    COMMAND ${GZIP} -9n -c ${PROJECT_SOURCE_DIR}/man/${page} > man/${page}.gz
    DEPENDS man/${page} VERBATIM)
  list(APPEND zv_generated man/${page}.gz)
  string(REGEX REPLACE ".*\\." "" section ${page})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()

string(TIMESTAMP zv_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(packaging/changelog.in changelog @ONLY)
add_custom_command(OUTPUT changelog.gz
  COMMAND ${GZIP} -9n -c changelog > changelog.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog VERBATIM)
list(APPEND zv_generated changelog.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

install(FILES packaging/icons/zvspool.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
if(RSVG_CONVERT)
  foreach(size 16 24 32 48 64 128 256)
    set(png icons/${size}x${size}/zvspool.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory icons/${size}x${size}
      COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -o ${png}
              ${PROJECT_SOURCE_DIR}/packaging/icons/zvspool.svg
      DEPENDS packaging/icons/zvspool.svg VERBATIM)
    list(APPEND zv_generated ${png})
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${png}
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
else()
  message(STATUS "rsvg-convert not found: only the scalable icon is installed")
endif()
add_custom_target(zv_install_files ALL DEPENDS ${zv_generated})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zvspool)
set(CPACK_PACKAGE_VENDOR "zvspool developers")
set(CPACK_PACKAGE_CONTACT "zvspool developers <zvspool@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "unattended print spooler for dot-matrix card-index printouts")
set(CPACK_PACKAGE_DESCRIPTION
  "zvspool watches the folder ZV for job files that a legacy card-index program
writes for a dot-matrix printer, and prints each on the default printer with
the dot-matrix grid kept (6 lines per inch, 10/12/17/20 characters per inch,
bold, underline, margins, Polish and Russian text). A job file is deleted
only once it has been printed whole.
.
zv-render renders the same job files into PDF or PNG.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Install as into the real /usr under a staging root, so the unit and autostart paths are right.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "cups")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
# The autostart entry is the administrator's to edit (Hidden=true turns it off for everyone).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/conffiles)
include(CPack)
