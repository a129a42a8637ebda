# The failure paths of a running transfer reuse the mode scenarios' fixture.
target_sources(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/modes/ModesFixture.cpp)
