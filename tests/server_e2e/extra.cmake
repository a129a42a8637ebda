# zem4d runs as its own process; the test client stands on the engine's packet code,
# the option tests on the daemon library.
set_property(TARGET ${target} PROPERTY LINK_LIBRARIES zem4_server_daemon zem4_server_engine GTest::gtest GTest::gtest_main)
add_dependencies(${target} zem4d)
target_compile_definitions(${target} PRIVATE ZEM4D_PATH="$<TARGET_FILE:zem4d>")
