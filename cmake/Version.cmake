# What --version and zem4d's start line report: writes ZEM4_VERSION_HEADER
# (generated/zem4/Version.h in the build tree). The commit is ZEM4_COMMIT when
# given from outside: a tree unpacked from `git archive` has no git metadata,
# so whoever made it passes the commit it archived. Otherwise it is `git
# describe` of the source tree, taken when the tree is configured, or
# "unknown" outside a git work tree.
#
# Included by the top-level CMakeLists.txt; also runs as a script
# (cmake -DZEM4_VERSION_HEADER=FILE [-DZEM4_COMMIT=...] -P Version.cmake),
# which prints the header it wrote, for the tests.
set(ZEM4_VERSION "0.1.0")
if(NOT CMAKE_SCRIPT_MODE_FILE)
  set(ZEM4_COMMIT "" CACHE STRING
      "Commit --version reports (empty: git describe of the source tree)")
endif()
if("${ZEM4_COMMIT}" STREQUAL "")
  execute_process(COMMAND git describe --always --dirty
                  WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/..
                  OUTPUT_VARIABLE ZEM4_COMMIT OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE _git_result ERROR_QUIET)
  if(NOT _git_result EQUAL 0 OR "${ZEM4_COMMIT}" STREQUAL "")
    set(ZEM4_COMMIT "unknown")
  endif()
endif()
file(CONFIGURE OUTPUT ${ZEM4_VERSION_HEADER}
     CONTENT "#pragma once\n#define ZEM4_VERSION \"${ZEM4_VERSION}\"\n#define ZEM4_COMMIT \"${ZEM4_COMMIT}\"\n")
if(CMAKE_SCRIPT_MODE_FILE)
  file(READ ${ZEM4_VERSION_HEADER} _header)
  message("${_header}")
endif()
