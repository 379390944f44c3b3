# What the target CPU and its C library need beyond the defaults. On 64-bit
# targets none of this changes the build.
include(CheckCXXSourceCompiles)

# 32-bit glibc: file offsets and inode numbers of 64 bits (readdir and stat of
# the job directory fail with EOVERFLOW on file systems that use them) and a
# time_t past 2038, where the C library offers them (glibc 2.34 and later for
# the time).
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(KOR_LARGE_FILE_DEFINITIONS _FILE_OFFSET_BITS=64)
  set(CMAKE_REQUIRED_DEFINITIONS -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64)
  check_cxx_source_compiles([[
    #include <sys/types.h>
    #include <ctime>
    static_assert(sizeof(time_t) == 8 && sizeof(off_t) == 8);
    int main() { return 0; }]] KOR_HAVE_64BIT_TIME)
  unset(CMAKE_REQUIRED_DEFINITIONS)
  if(KOR_HAVE_64BIT_TIME)
    list(APPEND KOR_LARGE_FILE_DEFINITIONS _TIME_BITS=64)
  else()
    message(WARNING "The C library has no 64-bit time_t: dates after 2038 fail")
  endif()
  add_compile_definitions(${KOR_LARGE_FILE_DEFINITIONS})
endif()

# 64-bit atomics (the platform's test hooks) need libatomic on some 32-bit CPUs
# (PowerPC); KOR_ATOMIC_LIBRARY is empty where the compiler does them inline.
check_cxx_source_compiles([[
  #include <atomic>
  #include <cstdint>
  std::atomic<std::int64_t> value{0};
  int main() { return static_cast<int>(value.fetch_add(1) + value.load()); }]]
  KOR_ATOMIC64_INLINE)
set(KOR_ATOMIC_LIBRARY "")
if(NOT KOR_ATOMIC64_INLINE)
  set(KOR_ATOMIC_LIBRARY atomic)
endif()

# GoogleTest. Debian's libraries are built for the build machine; a cross build
# compiles GoogleTest from the sources Debian's libgtest-dev ships.
set(KOR_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources for cross builds (Debian: libgtest-dev)")
function(kor_find_gtest)
  if(NOT CMAKE_CROSSCOMPILING)
    find_package(GTest REQUIRED)
    return()
  endif()
  if(NOT EXISTS ${KOR_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest sources in ${KOR_GTEST_SOURCE_DIR} (libgtest-dev)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${KOR_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  if(NOT TARGET GTest::gtest_main)  # older GoogleTest names them gtest, gtest_main only
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endfunction()
