# The driver loaded as firmware loads it, and the server's real engine.
target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests/common/EngineServer.cpp
                                 ${CMAKE_SOURCE_DIR}/tests/common/DriverHost.cpp)
target_link_libraries(${target} PRIVATE zem4_server_engine)
