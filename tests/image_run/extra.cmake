# The image this process can call into: the X64 one here (the 32-bit runner
# points at the IA32 one). Built by the x64 preset into build/x64.
set(ZEM4_X64_IMAGE ${CMAKE_SOURCE_DIR}/build/x64/zem4-x64.efi CACHE FILEPATH "X64 driver image to check")
target_compile_definitions(${target} PRIVATE ZEM4_RUN_IMAGE_PATH="${ZEM4_X64_IMAGE}")
# The server's engine as a device of the simulated network.
target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests/common/EngineServer.cpp)
# The 32-bit runner's test binary (host32 preset), for the cross-width comparison.
set(ZEM4_RUNNER32_TESTS ${CMAKE_SOURCE_DIR}/build/host32/runner32/test_image_run32 CACHE FILEPATH
    "The 32-bit runner's image tests")
target_compile_definitions(${target} PRIVATE ZEM4_RUNNER32_TESTS="${ZEM4_RUNNER32_TESTS}")
# The golden records of the image scenarios.
target_compile_definitions(${target} PRIVATE ZEM4_GOLDEN_DIR="${CMAKE_SOURCE_DIR}/tests/image_run/golden")
