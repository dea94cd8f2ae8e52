# The documentation every Debian package carries in /usr/share/doc/<package>:
# its copyright file and changelog (gzip -9n, as Debian compresses them), the
# user's part of the README in the library's folder, and the tool's manual
# page generated from its --help.

set(VELTCAM_DEB_DOCS_DIR ${CMAKE_CURRENT_BINARY_DIR}/debian-docs)
file(MAKE_DIRECTORY ${VELTCAM_DEB_DOCS_DIR})

# The README's sections for people who install the SDK, between the markers
# <!-- user --> and <!-- /user -->; building and testing the SDK stay out.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
file(READ ${PROJECT_SOURCE_DIR}/README.md readme)
set(user_readme "# VeltCam SDK ${PROJECT_VERSION}\n\n")
while(TRUE)
    string(FIND "${readme}" "<!-- user -->" start)
    if(start LESS 0)
        break()
    endif()
    math(EXPR start "${start} + 13")
    string(SUBSTRING "${readme}" ${start} -1 readme)
    string(FIND "${readme}" "<!-- /user -->" end)
    if(end LESS 0)
        message(FATAL_ERROR "README.md: <!-- user --> without <!-- /user -->")
    endif()
    string(SUBSTRING "${readme}" 0 ${end} section)
    string(STRIP "${section}" section)
    string(APPEND user_readme "${section}\n\n")
    string(SUBSTRING "${readme}" ${end} -1 readme)
endwhile()
file(CONFIGURE OUTPUT ${VELTCAM_DEB_DOCS_DIR}/README.md CONTENT "${user_readme}" @ONLY)
install(FILES ${VELTCAM_DEB_DOCS_DIR}/README.md DESTINATION ${VELTCAM_DOC_DIR} COMPONENT library)

# One changelog and one copyright file, in every package's folder.
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/linux/changelog ${VELTCAM_DEB_DOCS_DIR}/changelog COPYONLY)
add_custom_command(OUTPUT ${VELTCAM_DEB_DOCS_DIR}/changelog.gz
    COMMAND gzip -9nkf changelog
    DEPENDS ${VELTCAM_DEB_DOCS_DIR}/changelog
    WORKING_DIRECTORY ${VELTCAM_DEB_DOCS_DIR}
    VERBATIM)
set(debian_docs ${VELTCAM_DEB_DOCS_DIR}/changelog.gz)
foreach(component library development tool gstreamer python)
    install(FILES ${VELTCAM_DEB_DOCS_DIR}/changelog.gz ${CMAKE_CURRENT_SOURCE_DIR}/linux/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${VELTCAM_PACKAGE_${component}}
        COMPONENT ${component})
endforeach()

# The manual page runs the tool built here, so not in cross or sanitizer builds.
find_program(VELTCAM_HELP2MAN help2man)
if(VELTCAM_HELP2MAN AND NOT CMAKE_CROSSCOMPILING AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    set(VELTCAM_MANPAGE ${VELTCAM_DEB_DOCS_DIR}/veltcam.1.gz)
    add_custom_command(OUTPUT ${VELTCAM_MANPAGE}
        COMMAND ${CMAKE_COMMAND} -E env VELTCAM_SETTINGS=/dev/null
            ${VELTCAM_HELP2MAN} --no-info --no-discard-stderr
                --name "command-line tool of the VeltCam M40 USB 3.0 camera"
                --version-string ${PROJECT_VERSION}
                --include ${CMAKE_CURRENT_SOURCE_DIR}/linux/veltcam.h2m
                --output veltcam.1 $<TARGET_FILE:veltcam>
        COMMAND gzip -9nf veltcam.1
        DEPENDS veltcam ${CMAKE_CURRENT_SOURCE_DIR}/linux/veltcam.h2m
        WORKING_DIRECTORY ${VELTCAM_DEB_DOCS_DIR}
        VERBATIM)
    list(APPEND debian_docs ${VELTCAM_MANPAGE})
    install(FILES ${VELTCAM_MANPAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
else()
    message(STATUS "help2man not found (or not a native release build): no manual page for veltcam")
endif()
add_custom_target(veltcam_debian_docs ALL DEPENDS ${debian_docs})
add_dependencies(release-artifacts veltcam_debian_docs)
