# 32-bit big-endian PowerPC, Debian's cross compiler (g++-powerpc-linux-gnu);
# programs run under qemu-ppc-static (qemu-user-static) with the cross C
# library. Libraries for the target are searched in the cross tree and in
# Debian's multiarch directories (/usr/lib/powerpc-linux-gnu), never among the
# build machine's own.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(KOR_TARGET_TRIPLET powerpc-linux-gnu)
set(CMAKE_C_COMPILER ${KOR_TARGET_TRIPLET}-gcc)  # GoogleTest's project enables C
set(CMAKE_CXX_COMPILER ${KOR_TARGET_TRIPLET}-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc-static -L /usr/${KOR_TARGET_TRIPLET})
include(${CMAKE_CURRENT_LIST_DIR}/debianCross.cmake)
