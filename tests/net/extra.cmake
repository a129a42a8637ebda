# net's tests stand on the address types alone.
set_property(TARGET ${target} PROPERTY LINK_LIBRARIES zem4_net GTest::gtest GTest::gtest_main)
