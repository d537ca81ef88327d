# SPDX-License-Identifier: MIT
# What is installed, and the packages CPack makes of it in build/packages/:
# a zip for Windows (the program, the manual as text, the documents, all text
# with CR LF line ends), a .deb for Debian and Ubuntu from the release build, and
# a tarball for other Linux from the static build (the program, the man page,
# the bash completion, the documents).

# Text as Notepad and older Windows tools show it.
function(md5refresh_crlf_copy source output)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DIN=${source} -DOUT=${output} -P ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake
    DEPENDS ${source} ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake
    COMMENT "${output} with CR LF line ends")
endfunction()

if(WIN32)
  install(TARGETS md5refresh RUNTIME DESTINATION .)
  find_program(GROFF groff)
  if(GROFF)
    add_custom_command(OUTPUT manual.txt
      COMMAND ${GROFF} -man -Tascii -P -cbou ${PROJECT_BINARY_DIR}/md5refresh.1 > manual.txt
      DEPENDS ${PROJECT_BINARY_DIR}/md5refresh.1
      COMMENT "The manual as plain text")
    md5refresh_crlf_copy(${PROJECT_BINARY_DIR}/manual.txt ${PROJECT_BINARY_DIR}/windows-text/md5refresh.txt)
  endif()
  set(windows_text "")
  foreach(document README.md LICENSE CHANGELOG.md)
    md5refresh_crlf_copy(${PROJECT_SOURCE_DIR}/${document} ${PROJECT_BINARY_DIR}/windows-text/${document})
    list(APPEND windows_text ${PROJECT_BINARY_DIR}/windows-text/${document})
  endforeach()
  if(GROFF)
    list(APPEND windows_text ${PROJECT_BINARY_DIR}/windows-text/md5refresh.txt)
  endif()
  add_custom_target(manual_text ALL DEPENDS ${windows_text})
  install(FILES ${windows_text} docs/json-lines.schema.json DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  install(TARGETS md5refresh RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Debian's policy: man pages compressed with gzip -9n, and a copyright file.
  find_program(GZIP gzip REQUIRED)
  add_custom_command(OUTPUT md5refresh.1.gz
    COMMAND ${GZIP} -9nc ${PROJECT_BINARY_DIR}/md5refresh.1 > md5refresh.1.gz
    DEPENDS ${PROJECT_BINARY_DIR}/md5refresh.1
    COMMENT "The man page, compressed")
  # Debian wants its own changelog format in changelog.gz; it points to ours.
  configure_file(packaging/changelog.Debian.in changelog @ONLY)
  add_custom_command(OUTPUT changelog.gz CHANGELOG.md.gz
    COMMAND ${GZIP} -9nc ${PROJECT_BINARY_DIR}/changelog > changelog.gz
    COMMAND ${GZIP} -9nc ${PROJECT_SOURCE_DIR}/CHANGELOG.md > CHANGELOG.md.gz
    DEPENDS ${PROJECT_BINARY_DIR}/changelog ${PROJECT_SOURCE_DIR}/CHANGELOG.md
    COMMENT "The changelogs, compressed")
  add_custom_target(compressed_documents ALL DEPENDS md5refresh.1.gz changelog.gz CHANGELOG.md.gz)
  install(FILES ${PROJECT_BINARY_DIR}/md5refresh.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz ${PROJECT_BINARY_DIR}/CHANGELOG.md.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
  install(FILES README.md docs/json-lines.schema.json DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES packaging/md5refresh.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME md5refresh)
  if(MD5REFRESH_STATIC)
    set(CPACK_GENERATOR TGZ)
  else()
    set(CPACK_GENERATOR DEB)
  endif()
  set(CPACK_SYSTEM_NAME linux-x86_64)
endif()

# Packages need only what they hold built, not the tests.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_PACKAGE_NAME md5refresh)
set(CPACK_PACKAGE_VENDOR "The md5refresh authors")
set(CPACK_PACKAGE_CONTACT "md5refresh maintainers <md5refresh@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_SOURCE_DIR}/build/packages)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_THREADS 2)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DESCRIPTION "md5refresh reads a manifest of named sections of key=value entries,
digests the file that each section's file_path names, prints one report
line per file, stores each fresh digest in the section's md5 entry and
rewrites the manifest in a normalised layout, in place by default; a
section's sha256 entry gets the file's SHA-256 from the same reads. With -c
it only checks the recorded digests. Several files are digested at once.")
# The .deb installs under /usr; the tarball unpacks into its own folder.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-generators.cmake)
include(CPack)
