# The Modbus TCP test server (tests/peers/modbus_server.cpp), built when
# libmodbus is installed. The black-box Modbus tests run it from
# <build>/tests/modbus_server.
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(LIBMODBUS QUIET IMPORTED_TARGET libmodbus)
endif()
if(LIBMODBUS_FOUND)
  add_executable(modbus_server ${CMAKE_CURRENT_LIST_DIR}/modbus_server.cpp)
  target_link_libraries(modbus_server PRIVATE PkgConfig::LIBMODBUS)
  target_compile_options(modbus_server PRIVATE ${KOR_WARNINGS})
else()
  message(WARNING "libmodbus not found: the Modbus test server is not built (scripts/deps installs it)")
endif()
