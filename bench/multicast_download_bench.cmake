# The driver loaded as firmware loads it, and the server's real engine, from
# the shared test fixtures.
target_link_libraries(${target} PRIVATE zem4_test_common)
