# Installation and the Debian package (scripts/package builds it).
#
# The programs are the list KOR_PROGRAMS; each gets a man page written by
# help2man from its --help, so the text lives in one place.

# The Python package carries the same version with the revision as its third
# part; a mismatch stops the configuration rather than shipping two versions.
file(STRINGS ${CMAKE_SOURCE_DIR}/python/pyproject.toml KOR_PYTHON_VERSION REGEX "^version = ")
if(NOT KOR_PYTHON_VERSION STREQUAL "version = \"${PROJECT_VERSION}.${KOR_PACKAGE_REVISION}\"")
  message(FATAL_ERROR "python/pyproject.toml has '${KOR_PYTHON_VERSION}'; "
                      "the project is ${PROJECT_VERSION}, revision ${KOR_PACKAGE_REVISION}")
endif()

set(KOR_MAN_NAME_arvokor "virtual robot controller running the ArvoKOR communication server")
set(KOR_MAN_NAME_korjob "play the robot job against an ArvoKOR virtual controller")
set(KOR_MAN_NAME_koradmin "client of the ArvoKOR admin port")
set(KOR_MAN_NAME_kordash "live dashboard of an ArvoKOR controller in the browser")

install(TARGETS ${KOR_PROGRAMS} RUNTIME DESTINATION bin)
# The controller's own FTP server, run by arvokor (found relative to bin/).
install(PROGRAMS ${CMAKE_SOURCE_DIR}/platform/host/vcftpd.py DESTINATION lib/arvokor)

# The Python package in Debian's layout, for Debian's python3: `import
# arvokor` and its pytest plugin (the .dist-info's entry point), written by
# the package's own build backend from pyproject.toml; the example cell with
# the documents.
find_program(KOR_PYTHON3 python3 REQUIRED)
set(KOR_PYTHON_TREE ${CMAKE_BINARY_DIR}/python-dist)
file(GLOB KOR_PYTHON_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/python/arvokor/*.py)
add_custom_command(OUTPUT ${KOR_PYTHON_TREE}.stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${KOR_PYTHON_TREE}
  COMMAND ${KOR_PYTHON3} -B ${CMAKE_SOURCE_DIR}/python/build_wheel.py --tree ${KOR_PYTHON_TREE}
  COMMAND ${CMAKE_COMMAND} -E touch ${KOR_PYTHON_TREE}.stamp
  DEPENDS ${KOR_PYTHON_SOURCES} ${CMAKE_SOURCE_DIR}/python/build_wheel.py
          ${CMAKE_SOURCE_DIR}/python/pyproject.toml ${CMAKE_SOURCE_DIR}/python/README.md
  COMMENT "Python package tree" VERBATIM)
add_custom_target(pythontree ALL DEPENDS ${KOR_PYTHON_TREE}.stamp)
install(DIRECTORY ${KOR_PYTHON_TREE}/ DESTINATION lib/python3/dist-packages)
file(GLOB KOR_EXAMPLES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/python/examples/*.py)
install(FILES ${KOR_EXAMPLES} DESTINATION share/doc/arvokor/examples)

file(GLOB KOR_DOCS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md ${CMAKE_SOURCE_DIR}/docs/*.png)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${KOR_DOCS} DESTINATION share/doc/arvokor)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION share/doc/arvokor)
# Alert rules for a Prometheus that scrapes kordash (README, "Alerts").
install(FILES ${CMAKE_SOURCE_DIR}/packaging/prometheus/arvokor-rules.yml
        DESTINATION share/arvokor/prometheus)

# Named controllers as services. With the prefix /usr (the package's), Debian
# 12 keeps units in /lib and settings in /etc; another prefix keeps both inside.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(KOR_UNIT_DIR /lib/systemd/system)
  set(KOR_SETTINGS_DIR /etc/arvokor)
else()
  set(KOR_UNIT_DIR lib/systemd/system)
  set(KOR_SETTINGS_DIR etc/arvokor)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/packaging/arvokor@.service DESTINATION ${KOR_UNIT_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/example.conf DESTINATION ${KOR_SETTINGS_DIR})

find_program(KOR_HELP2MAN help2man)
find_program(KOR_GZIP gzip)
if(KOR_HELP2MAN AND KOR_GZIP)
  set(pages "")
  foreach(prog ${KOR_PROGRAMS})
    if(NOT TARGET ${prog})
      continue()
    endif()
    set(name "${KOR_MAN_NAME_${prog}}")
    if(NOT name)
      set(name "${prog} of ArvoKOR")
    endif()
    set(page ${CMAKE_BINARY_DIR}/man/${prog}.1)
    # SEE ALSO: the other programs' pages, then the documents (man.h2m).
    set(others ${KOR_PROGRAMS})
    list(REMOVE_ITEM others ${prog})
    list(TRANSFORM others PREPEND ".BR ")
    list(TRANSFORM others APPEND " (1)")
    list(JOIN others ",\n" KOR_MAN_SEE_ALSO)
    configure_file(${CMAKE_SOURCE_DIR}/packaging/man.h2m ${CMAKE_BINARY_DIR}/man/${prog}.h2m @ONLY)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${KOR_HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
              --name=${name} --section=1 --source=ArvoKOR
              --include=${CMAKE_BINARY_DIR}/man/${prog}.h2m
              --output=${page} $<TARGET_FILE:${prog}>
      COMMAND ${KOR_GZIP} -9nf ${page}
      DEPENDS ${prog} ${CMAKE_BINARY_DIR}/man/${prog}.h2m
      COMMENT "Man page of ${prog}" VERBATIM)
    list(APPEND pages ${page}.gz)
  endforeach()
  add_custom_target(manpages ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION share/man/man1)
else()
  message(STATUS "help2man or gzip not found: no man pages (scripts/deps installs help2man)")
endif()

# Debian's changelog for the package, written at build time with the version.
string(TIMESTAMP KOR_BUILD_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(KOR_DEB_VERSION ${PROJECT_VERSION}-${KOR_PACKAGE_REVISION})
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.Debian.gz
  COMMAND ${KOR_GZIP} -9nkf ${CMAKE_BINARY_DIR}/changelog.Debian
  DEPENDS ${CMAKE_BINARY_DIR}/changelog.Debian VERBATIM)
add_custom_target(debchangelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.Debian.gz)
install(FILES ${CMAKE_BINARY_DIR}/changelog.Debian.gz DESTINATION share/doc/arvokor)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME arvokor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR ArvoKOR)
set(CPACK_PACKAGE_CONTACT "ArvoKOR maintainers <arvokor@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "communication server of a robot controller, on a virtual controller")
# CPack puts the summary first and indents these lines itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "ArvoKOR gives robot job programs TCP, UDP, serial and telnet channels,
pattern matching, Modbus TCP, position streaming, FTP job transfers and mail.
This package runs it on a virtual controller on a PC: arvokor (the
controller), korjob (plays the robot job), koradmin (the admin port's
client), kordash (a live dashboard in the browser), the unit
arvokor@.service for named controllers, and the Python module arvokor
with its pytest plugin for testing a robot cell.")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KOR_PACKAGE_REVISION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries come from shlibdeps; the controller's FTP server is Python.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, python3-pyftpdlib")
# pytest runs cell tests with the plugin; the example cell's PLC is pymodbus.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-pytest, python3-pymodbus")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/conffiles ${CMAKE_SOURCE_DIR}/packaging/postinst
    ${CMAKE_SOURCE_DIR}/packaging/prerm ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
