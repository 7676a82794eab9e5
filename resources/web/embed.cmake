# Writes one file's bytes as a C++ std::string_view, so that the pages are compiled into the
# programs without Qt resources.
# cmake -DINPUT=<file> -DOUTPUT=<.cpp> -DNAME=<symbol> -DSOURCE=<path for the comment> -P embed.cmake
cmake_minimum_required(VERSION 3.25)
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" length)
math(EXPR bytes "${length} / 2")
set(lines "")
# 32 bytes a line, each as \xNN, so that no escape runs into the character after it.
set(at 0)
while(at LESS length)
  string(SUBSTRING "${hex}" ${at} 64 chunk)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" chunk "${chunk}")
  string(APPEND lines "    \"${chunk}\"\n")
  math(EXPR at "${at} + 64")
endwhile()
if(lines STREQUAL "")
  set(lines "    \"\"\n")
endif()
file(CONFIGURE OUTPUT "${OUTPUT}" @ONLY CONTENT "// Generated from @SOURCE@ by resources/web/embed.cmake: edit that file, not this one.
#include \"resources/web/web_files.h\"

namespace morlanex::web {
namespace {
constexpr char kBytes[] =
@lines@;
}  // namespace

const std::string_view @NAME@{kBytes, @bytes@};

}  // namespace morlanex::web
")
