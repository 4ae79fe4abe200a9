# embed.cmake - builds the page's files into qna: writes OUT, a C++ source
# that defines qna::web::FindAsset over the files FILES (paths separated
# by '|'; each is served under its file name, with the type its extension
# names).  Run with cmake -P at build time.
string(REPLACE "|" ";" FILES "${FILES}")
set(arrays "")
set(rows "")
set(i 0)
foreach(path ${FILES})
  get_filename_component(name "${path}" NAME)
  get_filename_component(extension "${path}" LAST_EXT)
  if(extension STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(extension STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(extension STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(extension STREQUAL ".svg")
    set(type "image/svg+xml")
  else()
    message(FATAL_ERROR "embed.cmake: no type for ${name}")
  endif()
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const unsigned char kFile${i}[] = {${bytes}};\n")
  string(APPEND rows "      {\"${name}\", \"${type}\", {reinterpret_cast<const char*>(kFile${i}), ${size}}},\n")
  math(EXPR i "${i} + 1")
endforeach()
file(WRITE "${OUT}.new" "// Generated from tools/web/ by tools/web/embed.cmake: do not edit.
#include \"web.h\"

namespace qna::web {
namespace {
${arrays}}  // namespace

const Asset* FindAsset(std::string_view name) {
  static const Asset kAssets[] = {
${rows}  };
  for (const Asset& asset : kAssets)
    if (asset.name == name) return &asset;
  return nullptr;
}

}  // namespace qna::web
")
# Only a changed page is compiled again.
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
