# Turns a text file into a header holding it as a raw string literal, so the
# virtual camera carries its own description without reading files at run time.
# Usage: cmake -DIN=<file> -DOUT=<header> -DNAME=<identifier> -P embed_file.cmake
file(READ "${IN}" content)
string(FIND "${content}" ")oculane_embed\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${IN} contains the raw string delimiter")
endif()
file(WRITE "${OUT}.tmp"
  "// Generated from ${IN}; edit that file instead.\n#pragma once\n#include <string_view>\n"
  "namespace oculane::sim {\ninline constexpr std::string_view ${NAME} = R\"oculane_embed(${content})oculane_embed\";\n}\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
