target_compile_definitions(${name} PRIVATE CAMUPGRADE_LIBRARY="$<TARGET_FILE:camupgrade>")
add_dependencies(${name} camupgrade)
