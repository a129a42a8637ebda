# Members are driven as the multicast tests drive them (the driver loaded into
# a host firmware), downloading from the server's engine on the simulated
# network.
target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests/common/EngineServer.cpp
                                 ${CMAKE_SOURCE_DIR}/tests/common/DriverHost.cpp)
target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(${target} PRIVATE zem4_server_engine)
