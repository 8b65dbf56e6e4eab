# Windows builds (cross-compiled with cmake/mingw-w64-x86_64.cmake, preset
# `windows`): the dependencies come from the mingw sysroot, from
# scripts/build-libarchive-mingw.sh, and from sources Debian ships.

# Keep windows.h to its core: its optional parts define macros with common
# names (DUPLICATE, ERROR, min, max) that collide with our identifiers.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX)

# libarchive, static, built from Debian's source package.
set(CAMUPGRADE_WINDOWS_DEPS "${PROJECT_SOURCE_DIR}/build/windows-deps/prefix" CACHE PATH
  "Prefix with the Windows build of libarchive (scripts/build-libarchive-mingw.sh)")
find_path(WIN_LIBARCHIVE_INCLUDE archive.h PATHS ${CAMUPGRADE_WINDOWS_DEPS}/include
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
find_library(WIN_LIBARCHIVE NAMES libarchive.a PATHS ${CAMUPGRADE_WINDOWS_DEPS}/lib
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT WIN_LIBARCHIVE_INCLUDE OR NOT WIN_LIBARCHIVE)
  message(FATAL_ERROR "No Windows libarchive in ${CAMUPGRADE_WINDOWS_DEPS}: "
    "run scripts/build-libarchive-mingw.sh first")
endif()
find_library(WIN_ZLIB NAMES libz.a REQUIRED)
target_include_directories(camupgrade_archive SYSTEM INTERFACE ${WIN_LIBARCHIVE_INCLUDE})
target_compile_definitions(camupgrade_archive INTERFACE LIBARCHIVE_STATIC)
target_link_libraries(camupgrade_archive INTERFACE ${WIN_LIBARCHIVE} ${WIN_ZLIB})

# CLI11 is header-only and the same for every target; only its own folder is
# put on the include path, never the host's /usr/include.
if(NOT TARGET CLI11::CLI11)
  set(_cli11_dir ${CMAKE_BINARY_DIR}/host-headers)
  file(MAKE_DIRECTORY ${_cli11_dir})
  file(CREATE_LINK /usr/include/CLI ${_cli11_dir}/CLI SYMBOLIC)
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${_cli11_dir})
endif()

# GoogleTest from Debian's sources, built with the cross compiler.
if(CAMUPGRADE_TESTS AND NOT TARGET GTest::gtest)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  # Its project defines the GTest:: names the tests link against.
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endif()
