# One Debian package per install component (CPack's DEB generator), built from
# the same build tree the release tests use; scripts/package.sh and the
# packaging tests run `cpack` there.
#
# Every package depends on what its files use (dpkg-shlibdeps for the
# binaries) and on the library of this very build, so the library alone pulls
# in no GStreamer and no Python.

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL library development tool)
if(TARGET gstveltcam)
    list(APPEND CPACK_COMPONENTS_ALL gstreamer)
endif()
if(EXISTS ${VELTCAM_PYTHON_PACKAGE})
    list(APPEND CPACK_COMPONENTS_ALL python)
endif()
# The .pc file is written during the packaging install: it must see the
# package's prefix (/usr), not CPack's staging directory.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "VeltCam SDK maintainers <sdk@veltcam.invalid>")
set(CPACK_DEBIAN_PACKAGE_SOURCE veltcamsdk)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The library itself is not installed yet when the other packages' binaries
# are looked at: dpkg-shlibdeps finds it in the build tree, and each package
# names its own exact version below instead.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/bin)
set(library_version "${PROJECT_VERSION}")
set(on_library "${VELTCAM_PACKAGE_library} (= ${library_version})")

foreach(component library development tool gstreamer python)
    string(TOUPPER ${component} upper)
    set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${VELTCAM_PACKAGE_${component}})
    set(CPACK_DEBIAN_${upper}_FILE_NAME DEB-DEFAULT)
endforeach()

# --- libveltcamsdk2 ----------------------------------------------------------
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SHLIBDEPS ON)
# A shlibs file, so that packages built against this one depend on it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# udev reload after install and removal; the triggers file runs ldconfig.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/linux/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/linux/postrm
    ${CMAKE_CURRENT_SOURCE_DIR}/linux/triggers)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION
"library of the VeltCam M40 USB 3.0 industrial camera
The C library that drives the VeltCam M40 USB 3.0 camera (2048 x 1536 Bayer
sensor): the VeltCam_* functions and the VeltCamEx_* streaming extension, a
built-in camera simulator, and a udev rule that lets the logged-in user open
the camera.")

# --- libveltcamsdk-dev -------------------------------------------------------
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${on_library}")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
"development files of the VeltCam M40 camera library
Headers, the pkg-config file (veltcamsdk) and the CMake package (VeltCamSdk)
for building programs against libveltcamsdk2, and C samples in
/usr/share/doc/libveltcamsdk-dev/examples.")

# --- veltcam -----------------------------------------------------------------
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOL_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "${on_library}")
set(CPACK_DEBIAN_TOOL_DESCRIPTION
"command-line tool of the VeltCam M40 USB 3.0 camera
Lists the attached cameras, shows and changes their settings, saves still
images (PNG, TIFF, JPEG, BMP, raw), records uncompressed AVI movies, streams,
calibrates flat-field masks and measures the conversion speed. A built-in
camera simulator stands in for a camera when asked for.")

# --- gstreamer1.0-veltcam ----------------------------------------------------
set(CPACK_DEBIAN_GSTREAMER_PACKAGE_SECTION video)
set(CPACK_DEBIAN_GSTREAMER_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_GSTREAMER_PACKAGE_DEPENDS "${on_library}")
set(CPACK_DEBIAN_GSTREAMER_DESCRIPTION
"GStreamer source element of the VeltCam M40 camera
The veltcamsrc element: frames of a VeltCam M40 USB 3.0 camera (or of the
built-in simulator) as a live GStreamer video source.")

# --- python3-veltcam ---------------------------------------------------------
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
# ctypes loads the library by its SONAME: any later 2.x library serves.
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3:any, python3-numpy, ${VELTCAM_PACKAGE_library} (>= ${library_version})")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/linux/python3-veltcam/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/linux/python3-veltcam/prerm)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
"Python 3 interface of the VeltCam M40 camera library
The veltcam package: cameras of libveltcamsdk2 as numpy arrays, streams with
frame metadata, settings and still images, over ctypes.")
