target_link_libraries(${name} PRIVATE camsim_core)
