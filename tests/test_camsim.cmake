target_link_libraries(${name} PRIVATE camsim_core)
target_compile_definitions(${name} PRIVATE CAMSIM_BIN="$<TARGET_FILE:camsim>")
add_dependencies(${name} camsim)
