# The server's tests stand on the server engine alone, not on the driver.
set_property(TARGET ${target} PROPERTY LINK_LIBRARIES zem4_server_engine GTest::gtest GTest::gtest_main)
