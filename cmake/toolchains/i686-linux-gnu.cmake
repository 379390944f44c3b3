# 32-bit x86 (x87 floating point), Debian's cross compiler
# (g++-i686-linux-gnu). An x86-64 kernel runs the programs itself: the cross
# C library's loader starts them with its own libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KOR_TARGET_TRIPLET i686-linux-gnu)
set(CMAKE_C_COMPILER ${KOR_TARGET_TRIPLET}-gcc)  # GoogleTest's project enables C
set(CMAKE_CXX_COMPILER ${KOR_TARGET_TRIPLET}-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/${KOR_TARGET_TRIPLET}/lib/ld-linux.so.2
    --library-path /usr/${KOR_TARGET_TRIPLET}/lib)
include(${CMAKE_CURRENT_LIST_DIR}/debianCross.cmake)
