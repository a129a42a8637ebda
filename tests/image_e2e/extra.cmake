# zem4 get --driver against zem4d, both as processes: the X64 image in zem4,
# the IA32 image handed to the host32 preset's zem4-32 (found beside the
# build trees, or through ZEM4_RUNNER32).
set(ZEM4_IA32_IMAGE ${CMAKE_SOURCE_DIR}/build/ia32/zem4-ia32.efi CACHE FILEPATH "IA32 driver image to check")
set(ZEM4_X64_IMAGE ${CMAKE_SOURCE_DIR}/build/x64/zem4-x64.efi CACHE FILEPATH "X64 driver image to check")
target_compile_definitions(${target} PRIVATE
  ZEM4_IA32_IMAGE_PATH="${ZEM4_IA32_IMAGE}"
  ZEM4_X64_IMAGE_PATH="${ZEM4_X64_IMAGE}")
if(TARGET zem4 AND TARGET zem4d)
  add_dependencies(${target} zem4 zem4d)
  target_compile_definitions(${target} PRIVATE ZEM4_CLI="$<TARGET_FILE:zem4>"
                                               ZEM4D="$<TARGET_FILE:zem4d>")
endif()
