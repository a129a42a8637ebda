# The driver's layers: no folder includes a folder above it, but for the
# cycles its layout has on purpose (listed in the script).
add_test(NAME DriverIncludeGraph COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/include-graph.sh --check)
set_tests_properties(DriverIncludeGraph PROPERTIES LABELS transport)
