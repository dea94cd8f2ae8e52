# Test suites that need optional packages (GStreamer, the Python interpreter and
# its modules, the GigE Vision client) are left out when those are missing, so a
# developer can build without them. The test command must not: with
# VELTCAM_REQUIRE_ALL (a cache option, or set in the environment) a missing
# suite stops the configuration, so a renamed or dropped package cannot turn a
# test run green with a whole suite gone.
option(VELTCAM_REQUIRE_ALL "Fail the configuration when an optional test suite cannot be built" OFF)
if(NOT VELTCAM_REQUIRE_ALL AND NOT "$ENV{VELTCAM_REQUIRE_ALL}" STREQUAL ""
   AND NOT "$ENV{VELTCAM_REQUIRE_ALL}" STREQUAL "0")
    set(VELTCAM_REQUIRE_ALL ON)
endif()

# vc_optional_suite_missing(<suite> <why>): says that <suite> is not built, or
# stops the configuration when every suite is required.
function(vc_optional_suite_missing suite why)
    if(VELTCAM_REQUIRE_ALL)
        message(FATAL_ERROR "${suite} cannot be built (${why}), and VELTCAM_REQUIRE_ALL is set")
    endif()
    message(STATUS "${why}: ${suite} is not built")
endfunction()
