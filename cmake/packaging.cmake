# Installing and packaging, one version for everything (the project's).
#
# Native tree: `cmake --install` puts tq35b and the simulated unit (as
# tq35b-sim) in bin/, their manual pages in share/man/man1/ and the README
# in share/doc/tq35b/; CPack makes a Debian package of the same.
# Windows tree: the windowed program, the venue window and the console tool
# side by side with a README for Windows users; CPack makes a zip of them.
include(GNUInstallDirs)

set(TQ_PACKAGE_MAINTAINER "TQ35B updater developers <tq35b-updater@example.invalid>"
    CACHE STRING "The Maintainer field of the Debian package")

# The build of the firmware package the programs carry, for the package's
# description; read again when a vendor drops in new package files.
file(STRINGS ${TQ_PACKAGE_DIR}/unit.properties build_lines REGEX "^[ \t]*build-version[ \t]*=")
list(GET build_lines 0 build_line)
string(REGEX REPLACE "^[^=]*=[ \t]*([^ \t\r]*).*$" "\\1" TQ_PACKAGE_BUILD "${build_line}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TQ_PACKAGE_DIR}/unit.properties)

set(CPACK_PACKAGE_NAME tq35b)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for TQ35B networked amplifiers")
set(CPACK_PACKAGE_CONTACT "${TQ_PACKAGE_MAINTAINER}")
# The builds carry debug information; the packages do not need it.
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS tq35b_updater tq35b tq35b_venue RUNTIME DESTINATION .)
  # Notepad on older Windows shows a text without carriage returns as one line.
  configure_file(${CMAKE_SOURCE_DIR}/docs/windows-readme.txt ${CMAKE_BINARY_DIR}/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)

  # The shipped build is 32-bit (x86); the 64-bit one exists for Wine tests
  # on machines without 32-bit support, and its zip says so in its name.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(windows_arch x64)
  else()
    set(windows_arch x86)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME tq35b-${PROJECT_VERSION}-windows-${windows_arch})
else()
  install(TARGETS tq35b RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Installed under the name people type; the build tree keeps tq35b_sim,
  # which the tests and scripts call. Only install(TARGETS) strips by itself.
  set(sim_installed ${CMAKE_INSTALL_BINDIR}/tq35b-sim)
  install(PROGRAMS $<TARGET_FILE:tq35b_sim> DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME tq35b-sim)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${sim_installed}\"
                      COMMAND_ERROR_IS_FATAL ANY)
    endif()")

  # The manual pages, written from the programs' own --help each time a
  # program is built, so that they say what the installed program says.
  set(man_dir ${CMAKE_BINARY_DIR}/man)
  set(gen_manpage ${CMAKE_SOURCE_DIR}/tools/gen_manpage.py)
  add_custom_command(
    OUTPUT ${man_dir}/tq35b.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
    COMMAND ${Python3_EXECUTABLE} ${gen_manpage} --program $<TARGET_FILE:tq35b> --name tq35b
            --version ${PROJECT_VERSION} --summary "update the firmware of TQ35B amplifiers from a terminal"
            --see-also tq35b-sim --commands --output ${man_dir}/tq35b.1.gz
    DEPENDS tq35b ${gen_manpage}
    COMMENT "Writing the manual page of tq35b from its --help")
  add_custom_command(
    OUTPUT ${man_dir}/tq35b-sim.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
    COMMAND ${Python3_EXECUTABLE} ${gen_manpage} --program $<TARGET_FILE:tq35b_sim> --name tq35b-sim
            --version ${PROJECT_VERSION} --summary "a simulated TQ35B unit, for trying tq35b without hardware"
            --see-also tq35b --output ${man_dir}/tq35b-sim.1.gz
    DEPENDS tq35b_sim ${gen_manpage}
    COMMENT "Writing the manual page of tq35b-sim from its --help")
  add_custom_target(man_pages ALL DEPENDS ${man_dir}/tq35b.1.gz ${man_dir}/tq35b-sim.1.gz)
  install(FILES ${man_dir}/tq35b.1.gz ${man_dir}/tq35b-sim.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tq35b)

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # CPack puts the one-line summary above this.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "tq35b updates TQ35B networked audio amplifiers over Ethernet or an RS-232
line: it finds units on the local networks and serial ports, asks them for
their versions, puts a unit into bootload mode with the installer PIN, and
writes the firmware package it carries (build ${TQ_PACKAGE_BUILD}) to one unit
or to several at once, with a progress bar or JSON events.
.
tq35b-sim plays a TQ35B unit on this machine (bootloader, text commands and
discovery answers, with fault injection), for trying the updater without
hardware and for scripted tests of production lines.")
endif()

include(CPack)
