# Members are driven as the multicast tests drive them (the driver loaded into
# a host firmware), downloading from the server's engine on the simulated
# network; the shared test fixtures bring both, and the teardown checks.
target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(${target} PRIVATE zem4_test_common)
