# The images come from the cross presets' build trees (build/ia32, build/x64);
# point elsewhere with -DZEM4_IA32_IMAGE=... / -DZEM4_X64_IMAGE=....
set(ZEM4_IA32_IMAGE ${CMAKE_SOURCE_DIR}/build/ia32/zem4-ia32.efi CACHE FILEPATH "IA32 driver image to check")
set(ZEM4_X64_IMAGE ${CMAKE_SOURCE_DIR}/build/x64/zem4-x64.efi CACHE FILEPATH "X64 driver image to check")
target_compile_definitions(${target} PRIVATE
  ZEM4_IA32_IMAGE_PATH="${ZEM4_IA32_IMAGE}"
  ZEM4_X64_IMAGE_PATH="${ZEM4_X64_IMAGE}")
