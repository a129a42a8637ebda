# The download runs against the server's real engine, hosted on the simulated
# network the way the download tests host it (the shared test fixtures).
target_link_libraries(${target} PRIVATE zem4_test_common)
