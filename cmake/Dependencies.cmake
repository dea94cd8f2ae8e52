# Third-party libraries under one set of names for both targets:
#
#   vc::jpeg vc::png vc::tiff vc::zlib   image files (libjpeg-turbo with the
#                                        release-8 API, libpng, libtiff, zlib)
#   vc::hwy                              Highway, run-time SIMD dispatch
#   vc::gtest vc::gtest_main vc::gmock   tests
#   vc::gmock_main
#   vc::cli11                            header-only command-line parser
#   vc::benchmark                        Google Benchmark (Windows: only with
#                                        VELTCAM_WIN_BENCHMARK, a mingw build)
#                                        (VELTCAM_HAVE_BENCHMARK tells)
#
# Linux takes them from Debian's -dev packages. The Windows build links the
# static libraries of scripts/build-windows-deps.sh (prefix in the cache
# variable VELTCAM_WIN_DEPS) and Debian's static mingw zlib, so the DLL and
# the test executables import nothing but Windows system DLLs.
#
# vc_link_static_runtime(<target>) links libgcc, libstdc++ and winpthread
# statically into a Windows DLL or executable; it does nothing on Linux.

include_guard(GLOBAL)

# ---------------------------------------------------------------------------
# CLI11 is header-only and the same on both targets. The Windows build must
# not see /usr/include (glibc headers would shadow the mingw ones), so the
# CLI/ directory alone is copied into the build tree.
function(_vc_add_cli11)
  find_path(VELTCAM_CLI11_INCLUDE_DIR CLI/CLI.hpp
            PATHS /usr/include /usr/local/include
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH
            DOC "Directory holding CLI/CLI.hpp (Debian: libcli11-dev)")
  if(NOT VELTCAM_CLI11_INCLUDE_DIR)
    message(FATAL_ERROR "CLI11 headers not found; run scripts/install-packages.sh "
                        "(package libcli11-dev) or set VELTCAM_CLI11_INCLUDE_DIR")
  endif()
  add_library(vc::cli11 INTERFACE IMPORTED GLOBAL)
  if(CMAKE_CROSSCOMPILING)
    set(dir "${CMAKE_BINARY_DIR}/_deps/cli11/include")
    file(REMOVE_RECURSE "${dir}/CLI")
    file(COPY "${VELTCAM_CLI11_INCLUDE_DIR}/CLI" DESTINATION "${dir}")
  else()
    set(dir "${VELTCAM_CLI11_INCLUDE_DIR}")
  endif()
  set_target_properties(vc::cli11 PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${dir}"
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${dir}")
endfunction()

# vc::<name> forwarding to existing targets.
function(_vc_alias name)
  add_library(vc::${name} INTERFACE IMPORTED GLOBAL)
  set_target_properties(vc::${name} PROPERTIES INTERFACE_LINK_LIBRARIES "${ARGN}")
endfunction()

# vc::<name> as a static archive: _vc_static(name archive include-dir [deps...])
function(_vc_static name archive include_dir)
  if(NOT EXISTS "${archive}")
    message(FATAL_ERROR "${archive} is missing. Rebuild the Windows libraries with "
                        "scripts/build-windows-deps.sh and pass the prefix it prints "
                        "as VELTCAM_WIN_DEPS.")
  endif()
  add_library(vc::${name} STATIC IMPORTED GLOBAL)
  set_target_properties(vc::${name} PROPERTIES
    IMPORTED_LOCATION "${archive}"
    IMPORTED_LINK_INTERFACE_LANGUAGES "C"
    INTERFACE_INCLUDE_DIRECTORIES "${include_dir}"
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${include_dir}")
  if(ARGN)
    # Static archives resolve left to right: what a library needs follows it.
    set_property(TARGET vc::${name} PROPERTY INTERFACE_LINK_LIBRARIES "${ARGN}")
  endif()
endfunction()

if(WIN32)
  if(NOT VELTCAM_WIN_DEPS AND DEFINED ENV{VELTCAM_WIN_DEPS})
    set(VELTCAM_WIN_DEPS "$ENV{VELTCAM_WIN_DEPS}")
  endif()
  set(VELTCAM_WIN_DEPS "${VELTCAM_WIN_DEPS}" CACHE PATH
      "Prefix of the static Windows libraries (printed by scripts/build-windows-deps.sh)")
  if(NOT VELTCAM_WIN_DEPS OR NOT EXISTS "${VELTCAM_WIN_DEPS}/.veltcam-deps-complete")
    message(FATAL_ERROR
      "VELTCAM_WIN_DEPS ('${VELTCAM_WIN_DEPS}') is not a finished dependency prefix.\n"
      "Build the static Windows libraries once (about two minutes, cached afterwards):\n"
      "  export VELTCAM_WIN_DEPS=\"$(scripts/build-windows-deps.sh)\"\n"
      "then configure again, e.g. with `cmake --preset windows`.")
  endif()
  set(_deps "${VELTCAM_WIN_DEPS}")
  set(_mingw_root "/usr/x86_64-w64-mingw32")

  _vc_static(zlib "${_mingw_root}/lib/libz.a" "${_mingw_root}/include")
  _vc_static(jpeg "${_deps}/lib/libjpeg.a" "${_deps}/include")
  _vc_static(png "${_deps}/lib/libpng16.a" "${_deps}/include" vc::zlib)
  _vc_static(tiff "${_deps}/lib/libtiff.a" "${_deps}/include" vc::jpeg vc::zlib)

  # GoogleTest and Highway carry compile definitions their archives were
  # built with (GTEST_HAS_PTHREAD, HWY_STATIC_DEFINE); their own package
  # files say which.
  # Forced, so that a new prefix replaces the package directories that an
  # earlier configure cached.
  set(GTest_DIR "${_deps}/lib/cmake/GTest" CACHE PATH "" FORCE)
  set(hwy_DIR "${_deps}/lib/cmake/hwy" CACHE PATH "" FORCE)
  find_package(GTest CONFIG REQUIRED NO_DEFAULT_PATH)
  find_package(hwy CONFIG REQUIRED NO_DEFAULT_PATH)
  set(_vc_hwy hwy::hwy)

  # Google Benchmark is optional here: the benchmarks are run under Wine by
  # hand, against a mingw build of it installed at VELTCAM_WIN_BENCHMARK.
  set(VELTCAM_HAVE_BENCHMARK OFF)
  if(VELTCAM_WIN_BENCHMARK)
    set(benchmark_DIR "${VELTCAM_WIN_BENCHMARK}/lib/cmake/benchmark" CACHE PATH "" FORCE)
    find_package(benchmark CONFIG REQUIRED NO_DEFAULT_PATH)
    _vc_alias(benchmark benchmark::benchmark)
    set(VELTCAM_HAVE_BENCHMARK ON)
  endif()
  unset(_deps)
  unset(_mingw_root)
else()
  find_package(ZLIB REQUIRED)
  find_package(JPEG REQUIRED)
  find_package(PNG REQUIRED)
  find_package(TIFF REQUIRED)
  find_package(GTest CONFIG REQUIRED)
  find_package(hwy CONFIG QUIET)
  if(TARGET hwy::hwy)
    set(_vc_hwy hwy::hwy)
  else()
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(VELTCAM_HWY REQUIRED IMPORTED_TARGET GLOBAL libhwy)
    set(_vc_hwy PkgConfig::VELTCAM_HWY)
  endif()
  find_package(benchmark CONFIG REQUIRED)

  _vc_alias(zlib ZLIB::ZLIB)
  _vc_alias(jpeg JPEG::JPEG)
  _vc_alias(png PNG::PNG)
  _vc_alias(tiff TIFF::TIFF)
  _vc_alias(benchmark benchmark::benchmark)
  set(VELTCAM_HAVE_BENCHMARK ON)
endif()

_vc_alias(hwy ${_vc_hwy})
unset(_vc_hwy)
_vc_alias(gtest GTest::gtest)
_vc_alias(gtest_main GTest::gtest_main)
_vc_alias(gmock GTest::gmock)
_vc_alias(gmock_main GTest::gmock_main)
_vc_add_cli11()

function(vc_link_static_runtime target)
  if(WIN32)
    # Without these the DLL would import libstdc++-6.dll, libgcc_s_seh-1.dll
    # and libwinpthread-1.dll, which no camera PC has.
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
endfunction()
