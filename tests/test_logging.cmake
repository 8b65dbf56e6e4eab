target_compile_definitions(${name} PRIVATE CAMUPGRADE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
