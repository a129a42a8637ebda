# The storm rig of tests/storm (driver in the host firmware, the server's
# engine, the simulated network's link model) from the shared test fixtures.
target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests/storm/StormRig.cpp)
target_link_libraries(${target} PRIVATE zem4_test_common)
