# The project's warning flags, in this one place. Every target the project
# owns calls zem4_warnings(target): the driver and its EFI images, the host
# firmware, the server, the command line, every test, benchmark and fuzz
# binary, and the 32-bit runner. Warnings are errors in every build and every
# preset. The flags go on each target, never on a directory or the whole
# build, so that third-party code compiled in-tree (GoogleTest under
# runner32/) keeps its own.
#
#   zem4_warnings(target [UEFI])
#
# UEFI: the target implements UEFI interfaces, whose signatures are fixed; a
# protocol function or event notify routine often has no use for `This` or
# `Context`, so unused parameters are not reported there.
#
# GCC 12 at -O3 (the release presets) takes a one-character string literal put
# before a temporary std::string ("t" + std::to_string(n)) for an overlapping
# copy (-Wrestrict): write the character ('t' + std::to_string(n)).
function(zem4_warnings target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "UEFI" "" "")
  set(flags -Wall -Wextra -Werror)
  if(arg_UEFI)
    list(APPEND flags -Wno-unused-parameter)
  endif()
  target_compile_options(${target} PRIVATE ${flags})
endfunction()

# A target added without zem4_warnings() fails the configure step: walks every
# directory of this source tree (GoogleTest's, outside it, is left alone) once
# the top-level CMakeLists.txt is done, whichever build it made.
function(zem4_check_warnings dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
      get_target_property(options ${target} COMPILE_OPTIONS)
      if(NOT "-Werror" IN_LIST options)
        message(FATAL_ERROR "${target} (${dir}) builds without the project's warnings: "
                            "call zem4_warnings(${target}) (cmake/Warnings.cmake)")
      endif()
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub ${subdirs})
    cmake_path(IS_PREFIX CMAKE_SOURCE_DIR ${sub} NORMALIZE _ours)
    if(_ours)
      zem4_check_warnings(${sub})
    endif()
  endforeach()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL zem4_check_warnings ${CMAKE_SOURCE_DIR})
