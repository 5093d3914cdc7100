# Installation and the Debian package (cpack -G DEB in a build folder).
#
# The package holds the program, the site simulator and the command-line tools, their manual
# pages, the menu entry and the icon. Tests, benchmarks and the developers' tools (the scripted
# operator, the page registration) stay out. Its dependencies are computed from the binaries by
# dpkg-shlibdeps; the fonts, Qt's platform plugins and Qt's Chinese translations, which no
# binary links, are recommended.
include(GNUInstallDirs)

# What each installed program is, for its manual page (help2man writes the rest from --help).
set(_bhv_programs
  "bhv=acquisition program of the borehole television"
  "bhv-sim=site simulator of the borehole television for training and demonstrations"
  "bhv-acquire=headless acquisition run of the borehole television"
  "bhv-monitor=console monitor of the borehole television's host unit and probe"
  "bhv-reprocess=re-processes a borehole television recording into a new project"
  "bhv-export=exports a borehole television project as CSV, LAS and image strips"
  "bhv-structures=finds planar structures on a borehole television project or unrolled image"
  "bhv-upload=uploads pictures to a borehole television data server"
  "bhv-data-server=receiver of the borehole television upload protocol for labs and tests")

find_program(BHV_HELP2MAN help2man)
find_program(BHV_GZIP gzip)
set(_bhv_man_pages)
foreach(entry ${_bhv_programs})
  string(REPLACE "=" ";" pair "${entry}")
  list(GET pair 0 program)
  list(GET pair 1 summary)
  if(NOT TARGET ${program})
    continue()
  endif()
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(BHV_HELP2MAN AND BHV_GZIP)
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    add_custom_command(
      OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
              ${BHV_HELP2MAN} --no-info --no-discard-stderr --section=1
              --version-string=${PROJECT_VERSION} --name=${summary} --output=${page}
              $<TARGET_FILE:${program}>
      COMMAND ${BHV_GZIP} -n -9 -f ${page}
      DEPENDS ${program}
      COMMENT "Manual page of ${program}"
      VERBATIM)
    list(APPEND _bhv_man_pages ${page}.gz)
  endif()
endforeach()
if(_bhv_man_pages)
  add_custom_target(bhv_man_pages ALL DEPENDS ${_bhv_man_pages})
  install(FILES ${_bhv_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man or gzip not found: the package will have no manual pages")
endif()

# Debian wants its change log compressed, without a time stamp in the archive.
if(BHV_GZIP)
  set(_bhv_changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
  add_custom_command(
    OUTPUT ${_bhv_changelog}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND ${BHV_GZIP} -n -9 -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${_bhv_changelog}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
    VERBATIM)
  add_custom_target(bhv_changelog ALL DEPENDS ${_bhv_changelog})
  install(FILES ${_bhv_changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/bhv.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/src/resources/images/bhv-icon.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps RENAME bhv.svg)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME bhv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "bhv developers <bhv-developers@example.org>")
set(CPACK_PACKAGE_VENDOR "bhv developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "borehole television acquisition software")
set(CPACK_PACKAGE_DESCRIPTION
  "Acquisition program of a borehole television: connects to the host unit\n"
  "and the camera probe, shows the live picture, unrolls the borehole wall\n"
  "into north-oriented pages, drives the winch, records video with depth\n"
  "subtitles and uploads results. With a site simulator for training and\n"
  "command-line tools for re-processing, export and upload.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk, qt6-qpa-plugins, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
