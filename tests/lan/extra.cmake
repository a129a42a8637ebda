# The LAN tests build network namespaces (scripts/lan.sh) and run zem4 and
# zem4d in them: in the debug build only (elsewhere test_lan has no tests),
# one at a time, each within its time.
if(TARGET zem4 AND TARGET zem4d AND CMAKE_BUILD_TYPE STREQUAL "Debug" AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_dependencies(${target} zem4 zem4d)
  set(ZEM4_IA32_IMAGE ${CMAKE_SOURCE_DIR}/build/ia32/zem4-ia32.efi CACHE FILEPATH "IA32 driver image to check")
  target_compile_definitions(${target} PRIVATE ZEM4_LAN_TESTS
    ZEM4_CLI="$<TARGET_FILE:zem4>" ZEM4D="$<TARGET_FILE:zem4d>"
    ZEM4_LAN_SCRIPT="${CMAKE_SOURCE_DIR}/scripts/lan.sh"
    ZEM4_IA32_IMAGE_PATH="${ZEM4_IA32_IMAGE}")
  # gtest_discover_tests (after this file) lists the tests in ${target}_TESTS;
  # a file read after its own gives them the lock and a time limit.
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${target}_lock.cmake
       "if(DEFINED ${target}_TESTS)\n"
       "  set_tests_properties(\${${target}_TESTS} PROPERTIES RESOURCE_LOCK zem4_lan TIMEOUT 150)\n"
       "endif()\n")
  # (A deferred call reads its variables when it runs: the path goes in now.)
  cmake_language(EVAL CODE "cmake_language(DEFER CALL set_property DIRECTORY APPEND PROPERTY
                 TEST_INCLUDE_FILES [[${CMAKE_CURRENT_BINARY_DIR}/${target}_lock.cmake]])")
endif()
