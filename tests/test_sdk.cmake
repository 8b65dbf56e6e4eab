target_link_libraries(${name} PRIVATE camupgrade-sdk)
target_compile_definitions(${name} PRIVATE
  CAMUPGRADE_SDK_LIBRARY="$<TARGET_FILE:camupgrade-sdk>"
  CAMUPGRADE_SDK_HEADER="${PROJECT_SOURCE_DIR}/include/camupgrade_sdk.h"
  CAMUPGRADE_SDK_MAP="${PROJECT_SOURCE_DIR}/cmake/camupgrade-sdk.map")
