# The end-to-end tests run the built programs: zem4 and zem4d.
if(TARGET zem4 AND TARGET zem4d)
  add_dependencies(${target} zem4 zem4d)
  target_compile_definitions(${target} PRIVATE ZEM4_CLI="$<TARGET_FILE:zem4>"
                                               ZEM4D="$<TARGET_FILE:zem4d>")
endif()
