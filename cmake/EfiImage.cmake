# The driver as a UEFI boot-service driver image (PE32 for IA32, PE32+ for X64).
#
# Included by the top-level CMakeLists.txt when ZEM4_EFI_ARCH is set. The
# driver's sources are compiled by clang for a Windows COFF target (the object
# format UEFI images are made of) and linked by lld-link; CMake's own link step
# is not used, so nothing of the host platform's link logic gets in the way.
# Every object file is handed to the linker directly (no archive), so every
# driver source is part of the image and any symbol it needs but nobody defines
# (a compiler runtime helper, a C library call) fails the link.

string(TOUPPER "${ZEM4_EFI_ARCH}" ZEM4_EFI_ARCH)
if(ZEM4_EFI_ARCH STREQUAL "IA32")
  set(_efi_target i686-unknown-windows)
  set(_efi_machine x86)
  set(_efi_arch_flags "")
  set(_efi_name zem4-ia32)
elseif(ZEM4_EFI_ARCH STREQUAL "X64")
  set(_efi_target x86_64-unknown-windows)
  set(_efi_machine x64)
  # Firmware interrupt handlers may run on our stack: no red zone below it.
  set(_efi_arch_flags -mno-red-zone)
  set(_efi_name zem4-x64)
else()
  message(FATAL_ERROR "ZEM4_EFI_ARCH must be IA32 or X64, not '${ZEM4_EFI_ARCH}'")
endif()

if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "The ${ZEM4_EFI_ARCH} image needs clang (use the ia32/x64 presets)")
endif()

find_program(ZEM4_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)

if(NOT ZEM4_DRIVER_SOURCES)
  message(FATAL_ERROR "No driver sources found for the ${ZEM4_EFI_ARCH} image")
endif()

# The optimisation level is ours, not the build type's (-O3 grows the image).
set(CMAKE_CXX_FLAGS_RELEASE "")
set(CMAKE_CXX_FLAGS_DEBUG "")
set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "")
set(CMAKE_CXX_FLAGS_MINSIZEREL "")

add_library(zem4_efi_objects OBJECT ${ZEM4_DRIVER_SOURCES})
target_include_directories(zem4_efi_objects PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/include ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(zem4_efi_objects PRIVATE ZEM4_EFI_IMAGE)
target_compile_options(zem4_efi_objects PRIVATE
  -target ${_efi_target}
  ${ZEM4_DRIVER_FLAGS}
  ${_efi_arch_flags}
  -O2
  -fshort-wchar
  -fno-stack-protector
  # No __chkstk: there is no runtime to provide it.
  -mno-stack-arg-probe
  -fno-asynchronous-unwind-tables
  -fno-unwind-tables
  # Constructors of globals would sit in .CRT$XCU and never run: refuse them.
  -Wglobal-constructors
  -Wexit-time-destructors)
# The same sources and tools make the same bytes, wherever the tree and the
# build are, so that a signed image can be checked against its sources.
# Objects carry no time stamp (clang's default for Windows targets is the
# time of the compile). The assertions' __FILE__ is the only path in the
# image: it is named from the source tree's top, both when CMake gives the
# compiler the absolute path and when ccache's base directory has made it
# relative to the build tree. (ccache leaves prefix maps out of its key; the
# time-stamp flag, which it hashes, keeps objects from before the maps out.)
target_compile_options(zem4_efi_objects PRIVATE
  -mno-incremental-linker-compatible
  -fmacro-prefix-map=${CMAKE_CURRENT_SOURCE_DIR}/=)
file(RELATIVE_PATH _efi_top_from_build ${CMAKE_CURRENT_BINARY_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
if(_efi_top_from_build)
  string(REGEX REPLACE "/+$" "" _efi_top_from_build "${_efi_top_from_build}")
  target_compile_options(zem4_efi_objects PRIVATE -fmacro-prefix-map=${_efi_top_from_build}/=)
endif()
set_target_properties(zem4_efi_objects PROPERTIES POSITION_INDEPENDENT_CODE OFF)
zem4_warnings(zem4_efi_objects UEFI)

# The file that defines memcpy/memset must not have its loops turned back into
# calls to memcpy/memset.
foreach(_src ${ZEM4_DRIVER_SOURCES})
  get_filename_component(_name ${_src} NAME)
  if(_name MATCHES "^Mem[A-Za-z]*\\.cpp$")
    set_source_files_properties(${_src} TARGET_DIRECTORY zem4_efi_objects
      PROPERTIES COMPILE_OPTIONS "-fno-builtin")
  endif()
endforeach()

set(ZEM4_EFI_IMAGE_FILE ${CMAKE_CURRENT_BINARY_DIR}/${_efi_name}.efi)
add_custom_command(
  OUTPUT ${ZEM4_EFI_IMAGE_FILE}
  COMMAND ${ZEM4_LLD_LINK}
    /nologo
    /errorlimit:0
    /subsystem:efi_boot_service_driver
    /nodefaultlib
    /dll
    /entry:Zem4DriverEntryPoint
    /machine:${_efi_machine}
    /dynamicbase
    /debug:none
    # The header's time stamp is a hash of the image, not the time of the link.
    /Brepro
    /opt:ref
    /map:${CMAKE_CURRENT_BINARY_DIR}/${_efi_name}.map
    /out:${ZEM4_EFI_IMAGE_FILE}
    $<TARGET_OBJECTS:zem4_efi_objects>
  DEPENDS zem4_efi_objects $<TARGET_OBJECTS:zem4_efi_objects>
  COMMAND_EXPAND_LISTS
  VERBATIM
  COMMENT "Linking ${ZEM4_EFI_ARCH} UEFI boot-service driver ${_efi_name}.efi")
add_custom_target(zem4_efi_image ALL DEPENDS ${ZEM4_EFI_IMAGE_FILE})

message(STATUS "zem4: building the ${ZEM4_EFI_ARCH} image ${ZEM4_EFI_IMAGE_FILE}")
