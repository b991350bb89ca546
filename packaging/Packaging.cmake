# Installation layout and the Debian package: the three programs, the manual
# page (gzip-compressed, with the other two program names as symlinks to it),
# one bash completion file per program, the README, the nightly job's
# examples, the copyright file and the changelog.
include(GNUInstallDirs)

set(LUMET_COMPLETION_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
set(LUMET_MAN_BUILD_DIR ${CMAKE_BINARY_DIR}/man)
set(LUMET_COMPLETION_BUILD_DIR ${CMAKE_BINARY_DIR}/completions)

install(TARGETS lumettool lumettool-2.0 lumettool-1.0 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A stripped install (the package's) also drops the compiler's .comment
# section, which plain strip keeps, as Debian's own packages do.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(prog lumettool lumettool-2.0 lumettool-1.0)
      execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment
                      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${prog}\"
                      COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endif()")

# --- manual page ---------------------------------------------------------
find_program(LUMET_GZIP gzip REQUIRED)
set(LUMET_MAN_SOURCE ${CMAKE_SOURCE_DIR}/doc/lumettool.1)
add_custom_command(
  OUTPUT ${LUMET_MAN_BUILD_DIR}/lumettool.1.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${LUMET_MAN_BUILD_DIR}
  COMMAND ${LUMET_GZIP} -9 -n -c ${LUMET_MAN_SOURCE} > ${LUMET_MAN_BUILD_DIR}/lumettool.1.gz
  DEPENDS ${LUMET_MAN_SOURCE}
  COMMENT "Compressing the manual page"
  VERBATIM)
add_custom_target(lumet_man ALL DEPENDS ${LUMET_MAN_BUILD_DIR}/lumettool.1.gz)
file(MAKE_DIRECTORY ${LUMET_MAN_BUILD_DIR})
set(LUMET_MAN_FILES ${LUMET_MAN_BUILD_DIR}/lumettool.1.gz)
foreach(alias lumettool-2.0 lumettool-1.0)
  file(CREATE_LINK lumettool.1.gz ${LUMET_MAN_BUILD_DIR}/${alias}.1.gz SYMBOLIC)
  list(APPEND LUMET_MAN_FILES ${LUMET_MAN_BUILD_DIR}/${alias}.1.gz)
endforeach()
# install(FILES) keeps the two aliases as symlinks.
install(FILES ${LUMET_MAN_FILES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# --- bash completion -----------------------------------------------------
# The words come from the program's own command table, so the completion
# cannot offer a word the program lacks or miss one it has.
function(lumet_completion prog edition table)
  set(source ${CMAKE_SOURCE_DIR}/${table})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} text)
  string(REGEX MATCHALL "Command[ \t\r\n]*{[ \t\r\n]*\"[^\"]+\"" entries "${text}")
  set(words "")
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE ".*\"([^\"]+)\"$" "\\1" word "${entry}")
    list(APPEND words ${word})
  endforeach()
  if(NOT words)
    message(FATAL_ERROR "No command words found in ${table}")
  endif()
  list(JOIN words " " LUMET_WORDS)
  set(LUMET_PROG ${prog})
  set(LUMET_EDITION ${edition})
  set(LUMET_TABLE ${table})
  string(MAKE_C_IDENTIFIER "_${prog}" LUMET_FUNC)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/completion.bash.in
                 ${LUMET_COMPLETION_BUILD_DIR}/${prog} @ONLY)
  install(FILES ${LUMET_COMPLETION_BUILD_DIR}/${prog} DESTINATION ${LUMET_COMPLETION_DIR})
endfunction()
lumet_completion(lumettool 2.1 app/main_2_1.cpp)
lumet_completion(lumettool-2.0 2.0 app/main_2_0.cpp)
lumet_completion(lumettool-1.0 1.0 app/main_1_0.cpp)

# --- documentation: README, licence, changelog ------------------------------
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The nightly job: the wrapper, its cron line and its systemd units, for the
# operator to copy into place (README, "Nightly job").
set(LUMET_EXAMPLES_DIR ${CMAKE_SOURCE_DIR}/doc/examples)
install(PROGRAMS ${LUMET_EXAMPLES_DIR}/lumettool-nightly.sh
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${LUMET_EXAMPLES_DIR}/lumettool-nightly.cron
              ${LUMET_EXAMPLES_DIR}/lumettool-export.service
              ${LUMET_EXAMPLES_DIR}/lumettool-export.timer
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# copyright in Debian's machine-readable format, made from LICENSE: the
# holder from its "Copyright (c)" line, the licence text from what follows,
# each line indented by one space and an empty line written as " .".
set(LUMET_LICENSE_FILE ${CMAKE_SOURCE_DIR}/LICENSE)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${LUMET_LICENSE_FILE})
file(READ ${LUMET_LICENSE_FILE} license)
if(NOT license MATCHES "\nCopyright \\(c\\) ([^\n]+)\n\n(.*[^\n])\n*$")
  message(FATAL_ERROR "${LUMET_LICENSE_FILE}: no \"Copyright (c)\" line followed by the licence text")
endif()
set(LUMET_COPYRIGHT "${CMAKE_MATCH_1}")
set(text "${CMAKE_MATCH_2}")
# Twice, so that two empty lines in a row are both marked.
string(REPLACE "\n\n" "\n.\n" text "${text}")
string(REPLACE "\n\n" "\n.\n" text "${text}")
string(REPLACE "\n" "\n " text "${text}")
set(LUMET_LICENSE_TEXT " ${text}")
configure_file(${CMAKE_SOURCE_DIR}/packaging/copyright.in ${CMAKE_BINARY_DIR}/doc/copyright @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/doc/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# changelog.gz: CHANGELOG is kept in Debian's changelog format, the name and
# format Debian expects of a package whose version has no Debian revision.
set(LUMET_CHANGELOG_SOURCE ${CMAKE_SOURCE_DIR}/CHANGELOG)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/doc/changelog.gz
  COMMAND ${LUMET_GZIP} -9 -n -c ${LUMET_CHANGELOG_SOURCE} > ${CMAKE_BINARY_DIR}/doc/changelog.gz
  DEPENDS ${LUMET_CHANGELOG_SOURCE}
  COMMENT "Compressing the changelog"
  VERBATIM)
add_custom_target(lumet_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/doc/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# --- Debian package --------------------------------------------------------
# cpack -G DEB in the build directory makes lumettool_<version>_<arch>.deb;
# the version is the project's, and Depends is computed by dpkg-shlibdeps.
# The project's own name and address; it has no domain of its own, so the
# address is under .invalid, which can never reach anyone else. A packager
# sets their own with -DLUMET_PACKAGE_MAINTAINER="Name <address>".
set(LUMET_PACKAGE_MAINTAINER "lumettool authors <lumettool@lumettool.invalid>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumettool)
set(CPACK_PACKAGE_VENDOR "lumettool")
set(CPACK_PACKAGE_CONTACT "${LUMET_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "export money transactions from PostgreSQL")
set(CPACK_PACKAGE_DESCRIPTION
    "lumettool reads the table transaction of a PostgreSQL database between two
days, optionally narrowed by a filter, in chunks of days with a pause between
chunks, and prints the rows as |-separated lines followed by one final
message. It also keeps its connection settings in a small file and
enciphers API keys. Editions 2.1 (lumettool), 2.0 and 1.0 are installed as
separate programs.")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${LUMET_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
