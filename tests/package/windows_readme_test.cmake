# Checks the zip's README as cmake/windows-readme.cmake writes it:
#   cmake -DSOURCE_DIR=<repository> -DOUTPUT=<file> -P windows_readme_test.cmake
# It may point to nothing the zip lacks, and must hold what a Windows
# integrator needs.
cmake_minimum_required(VERSION 3.20)
execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${SOURCE_DIR} -DOUTPUT=${OUTPUT}
                -P ${SOURCE_DIR}/cmake/windows-readme.cmake
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake/windows-readme.cmake failed")
endif()
file(READ "${OUTPUT}" readme)
set(failures "")
foreach(absent "scripts/" "docs/" "bench/" "build-windows" "apt-get" ".deb" "man corvane"
               "windows-zip" "<!--" "## Layout" "## Installing the Debian packages")
  string(FIND "${readme}" "${absent}" at)
  if(NOT at EQUAL -1)
    string(APPEND failures "  holds \"${absent}\"\n")
  endif()
endforeach()
foreach(present "### Configuration" "### Result file" "### Exit status" "### Logs and output"
                "**The stop file**" "3. **The progress file**" "## Behind a proxy"
                "## When the clock is wrong" "## Calling it from another program"
                "## The manual page" "    SYNOPSIS" "    EXIT STATUS"
                "\"codepage\": \"UTF-8\"" "`NUL`" "examples\\gui-caller.c")
  string(FIND "${readme}" "${present}" at)
  if(at EQUAL -1)
    string(APPEND failures "  lacks \"${present}\"\n")
  endif()
endforeach()
if(NOT failures STREQUAL "")
  message(FATAL_ERROR "the zip's README (${OUTPUT}):\n${failures}")
endif()
