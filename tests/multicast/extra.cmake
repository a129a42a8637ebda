# The server's engine as a device of the simulated network.
target_sources(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/common/EngineServer.cpp)
