# packaging.cmake - install layout of the manual and documents, and the CPack packages:
# a Debian package and a .tar.gz on Linux, a .zip with zobret.exe and a README on Windows.
# Build them all with:  cmake --workflow --preset package

include(GNUInstallDirs)

if(WIN32)
  # The zip holds the program and a README that Notepad opens, with the documents it
  # links to beside it in doc/, so that its links lead somewhere.
  install(FILES README.md DESTINATION . RENAME README.txt)
  install(FILES doc/how-it-works.md doc/windows.md doc/performance.md doc/labs.md
                doc/development.md DESTINATION doc)
else()
  install(FILES doc/zobret.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES doc/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # Debian wants the manual and the changelog compressed with gzip -9n (no name or time
  # stamp in the header) and no .comment or .note section in a binary; the package also
  # carries its lintian overrides. Only the .deb asks for this, through ZOBRET_DEB_LAYOUT
  # (set in cpack_project.cmake); a plain `cmake --install` keeps the manual as it is.
  set(zobret_bindir "${CMAKE_INSTALL_BINDIR}")
  set(zobret_mandir "${CMAKE_INSTALL_MANDIR}")
  set(zobret_docdir "${CMAKE_INSTALL_DOCDIR}")
  set(zobret_overridedir "${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides")
  set(zobret_changelog "${CMAKE_CURRENT_SOURCE_DIR}/doc/changelog")
  set(zobret_overrides "${CMAKE_CURRENT_SOURCE_DIR}/doc/lintian-overrides")
  string(CONFIGURE [[
    if(ZOBRET_DEB_LAYOUT)
      set(prefix "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
      if(CMAKE_INSTALL_DO_STRIP AND EXISTS "@CMAKE_STRIP@")
        execute_process(COMMAND "@CMAKE_STRIP@" --remove-section=.comment --remove-section=.note
                                "${prefix}/@zobret_bindir@/zobret" COMMAND_ERROR_IS_FATAL ANY)
      endif()
      execute_process(COMMAND gzip -9nf "${prefix}/@zobret_mandir@/man1/zobret.1"
                      COMMAND_ERROR_IS_FATAL ANY)
      file(COPY_FILE "@zobret_changelog@" "${prefix}/@zobret_docdir@/changelog")
      execute_process(COMMAND gzip -9nf "${prefix}/@zobret_docdir@/changelog"
                      COMMAND_ERROR_IS_FATAL ANY)
      file(MAKE_DIRECTORY "${prefix}/@zobret_overridedir@")
      file(COPY_FILE "@zobret_overrides@" "${prefix}/@zobret_overridedir@/zobret")
    endif()
  ]] zobret_deb_layout_code @ONLY)
  install(CODE "${zobret_deb_layout_code}")
endif()

if(NOT WIN32 AND NOT APPLE AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  # Hardening as Debian builds its programs: full RELRO (relocation tables read-only once
  # loaded) and, in optimised builds, checked variants of the C library's buffer functions.
  target_link_options(zobret PRIVATE "LINKER:-z,relro,-z,now")
  foreach(target zobret zobret_core)
    target_compile_options(${target} PRIVATE
      "$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  endforeach()
endif()

if(BUILD_TESTING AND NOT WIN32)
  # The manual renders without warnings, and its example screens are the program's own.
  add_test(NAME man_page
           COMMAND bash "${CMAKE_CURRENT_SOURCE_DIR}/tests/package/package_test.sh" man
                   "${CMAKE_CURRENT_SOURCE_DIR}/doc/zobret.1" "$<TARGET_FILE:zobret>")
  set_tests_properties(man_page PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
endif()

set(CPACK_PACKAGE_NAME zobret)
set(CPACK_PACKAGE_VENDOR "the ZOBRET developers")
set(CPACK_PACKAGE_CONTACT "ZOBRET developers <zobret@example.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL "${ZOBRET_UPDATE_URL}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "copy one large file over an unreliable share, resuming where it stopped")
set(CPACK_PACKAGE_DESCRIPTION [[
zobret copies one file from a source path to a destination path and survives
interruptions. Started again with the same two paths, it continues behind the
destination's last byte instead of starting over; when the source is missing
or a read fails because a network share dropped away, it logs the error and
tries again at once, until the job is done.

It is meant for large files on slow or unreliable mounted network resources
(Samba or Windows shares, NFS exports) and copies in either direction. Files
of any size are supported, and the destination is synced before the run
reports completion.]])
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_SOURCE_DIR}/cmake/cpack_project.cmake")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB TGZ)
endif()

# Debian package
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
