# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix threads
# model, so std::thread and std::mutex work), running the results under Wine.
#
#   cmake --preset windows
#   cmake -S . -B build/windows -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DVELTCAM_WIN_DEPS="$(scripts/build-windows-deps.sh)"
#
# VELTCAM_WIN_DEPS is the install prefix of the static libraries built by
# scripts/build-windows-deps.sh: a cache variable, the environment variable
# of the same name, or, when neither is set, found by asking the script.

set(CMAKE_SYSTEM_NAME Windows)
# x86_64 (not AMD64) is what libjpeg-turbo's SIMD selection expects.
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELTCAM_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELTCAM_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELTCAM_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VELTCAM_MINGW_TRIPLE}-windres)
# ar, ranlib and objdump are found by CMake from the compiler's
# x86_64-w64-mingw32- prefix.

get_filename_component(_veltcam_repo_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

# The dependency prefix: the cache variable, else the environment variable,
# else the prefix scripts/build-windows-deps.sh would use, if that one is
# finished (asking costs a few milliseconds and builds nothing). The
# toolchain file is read again for every try_compile project, which sees the
# forwarded variable and the environment.
if(NOT VELTCAM_WIN_DEPS AND NOT "$ENV{VELTCAM_WIN_DEPS}" STREQUAL "")
  set(VELTCAM_WIN_DEPS "$ENV{VELTCAM_WIN_DEPS}" CACHE PATH "" FORCE)
endif()
if(NOT VELTCAM_WIN_DEPS AND EXISTS "${_veltcam_repo_root}/scripts/build-windows-deps.sh")
  execute_process(
    COMMAND "${_veltcam_repo_root}/scripts/build-windows-deps.sh" --print
    OUTPUT_VARIABLE _veltcam_deps
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET
    RESULT_VARIABLE _veltcam_rc)
  if(_veltcam_rc EQUAL 0 AND EXISTS "${_veltcam_deps}/.veltcam-deps-complete")
    set(VELTCAM_WIN_DEPS "${_veltcam_deps}" CACHE PATH "" FORCE)
  endif()
  unset(_veltcam_deps)
  unset(_veltcam_rc)
endif()
if(VELTCAM_WIN_DEPS)
  set(VELTCAM_WIN_DEPS "${VELTCAM_WIN_DEPS}"
      CACHE PATH "Prefix of the static Windows libraries (scripts/build-windows-deps.sh)")
  set(ENV{VELTCAM_WIN_DEPS} "${VELTCAM_WIN_DEPS}")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELTCAM_WIN_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${VELTCAM_MINGW_TRIPLE})
if(VELTCAM_WIN_DEPS)
  list(PREPEND CMAKE_FIND_ROOT_PATH "${VELTCAM_WIN_DEPS}")
endif()
# Programs (nasm, pkg-config, ...) come from the build machine; libraries,
# headers and CMake packages only from the Windows sysroot and our prefix, so
# that nothing from /usr/include or /usr/lib leaks into the Windows build.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test executables (ctest, gtest discovery, anything run at build time) go
# through Wine. The script sits in ../scripts relative to this file.
set(CMAKE_CROSSCOMPILING_EMULATOR "${_veltcam_repo_root}/scripts/wine-run")
unset(_veltcam_repo_root)
