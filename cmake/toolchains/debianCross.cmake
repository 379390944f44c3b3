# Shared part of the Debian cross toolchain files (KOR_TARGET_TRIPLET set).
# Target libraries (e.g. a -dev package installed for the target architecture
# with dpkg --add-architecture) are found in the cross tree /usr/<triplet> and
# in the multiarch directories /usr/lib/<triplet>; programs run at build time
# come from the build machine.
set(CMAKE_LIBRARY_ARCHITECTURE ${KOR_TARGET_TRIPLET})
set(CMAKE_FIND_ROOT_PATH /usr/${KOR_TARGET_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config reads the target's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KOR_TARGET_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
