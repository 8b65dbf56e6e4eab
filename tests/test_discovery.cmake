target_link_libraries(${name} PRIVATE camsim_core)
target_compile_definitions(${name} PRIVATE CAMUPGRADE_CLI="$<TARGET_FILE:camupgrade_cli>")
add_dependencies(${name} camupgrade_cli)
