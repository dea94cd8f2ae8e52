# The compiler and linker flags Debian builds its packages with
# (dpkg-buildflags, every hardening feature: fortify, stack protector,
# read-only relocations bound at load time, ...), for the shipped release
# build. The build machine's paths are mapped away, so no binary carries them
# (source names in messages become relative).
find_program(VELTCAM_DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT VELTCAM_DPKG_BUILDFLAGS)
    message(WARNING "VELTCAM_DEBIAN_BUILDFLAGS: dpkg-buildflags not found; plain flags")
    return()
endif()

function(_vc_buildflags variable out)
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
            ${VELTCAM_DPKG_BUILDFLAGS} --get ${variable}
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    # The optimisation and debug levels stay the build type's.
    string(REGEX REPLACE "(^| )-(O[0-9s]?|g)( |$)" " " flags " ${flags} ")
    string(STRIP "${flags}" flags)
    set(${out} "${flags}" PARENT_SCOPE)
endfunction()

_vc_buildflags(CPPFLAGS cppflags)
_vc_buildflags(CFLAGS cflags)
_vc_buildflags(CXXFLAGS cxxflags)
_vc_buildflags(LDFLAGS ldflags)
# dpkg-buildflags maps the source folder (its working directory); a build
# folder elsewhere is mapped too. The later, longer map wins for files below
# both.
set(prefix_map "-ffile-prefix-map=${PROJECT_BINARY_DIR}=build")
string(APPEND CMAKE_C_FLAGS " ${cppflags} ${cflags} ${prefix_map}")
string(APPEND CMAKE_CXX_FLAGS " ${cppflags} ${cxxflags} ${prefix_map}")
foreach(kind EXE SHARED MODULE)
    string(APPEND CMAKE_${kind}_LINKER_FLAGS " ${ldflags}")
endforeach()
message(STATUS "Debian build flags: ${cppflags} ${cxxflags} ${prefix_map}; ${ldflags}")
