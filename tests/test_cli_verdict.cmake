target_link_libraries(${name} PRIVATE camupgrade_verdict)
