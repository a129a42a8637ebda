# The download runs against the server's real engine, hosted on the simulated
# network the way the download tests host it.
target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests/common/EngineServer.cpp)
target_link_libraries(${target} PRIVATE zem4_server_engine)
