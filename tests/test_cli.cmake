target_link_libraries(${name} PRIVATE camsim_core camupgrade_cli_parts)
target_compile_definitions(${name} PRIVATE CAMUPGRADE_CLI="$<TARGET_FILE:camupgrade_cli>"
  CAMUPGRADE_LIBRARY="$<TARGET_FILE:camupgrade>")
add_dependencies(${name} camupgrade_cli camupgrade)
