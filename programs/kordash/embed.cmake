# Turns the page's files into a header of byte arrays, so that kordash is one
# self-contained program. Called with -DOUT=header -DFILES="url=path|..."
string(REPLACE "|" ";" FILES "${FILES}")
set(body "")
set(table "")
set(n 0)
foreach(entry ${FILES})
  string(REPLACE "=" ";" pair "${entry}")
  list(GET pair 0 url)
  list(GET pair 1 path)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" len)
  math(EXPR size "${len} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  get_filename_component(ext "${path}" EXT)
  if(ext STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(ext STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  else()
    set(type "text/javascript; charset=utf-8")
  endif()
  string(APPEND body "inline constexpr unsigned char kAsset${n}[] = {${bytes}0};\n")
  string(APPEND table "    {\"${url}\", \"${type}\", kAsset${n}, ${size}},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE "${OUT}.tmp"
"// Generated from the page's files by embed.cmake; do not edit.
#pragma once
#include <cstddef>
namespace kordash {
struct Asset {
    const char* path;
    const char* type;
    const unsigned char* data;
    std::size_t size;
};
${body}
inline constexpr Asset kAssets[] = {
${table}};
inline constexpr std::size_t kAssetCount = ${n};
}  // namespace kordash
")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
