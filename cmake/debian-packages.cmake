# Two Debian packages from one build (cpack in the build directory):
#   corvane-upload      the uploader and its manual page
#   corvane-localstore  the local stand-in of the services and its manual page
# Each depends only on the shared libraries its own program links, as
# dpkg-shlibdeps finds them.
set(CORVANE_MAN_DIR ${CMAKE_BINARY_DIR}/man)
set(CORVANE_MAN_PAGES)
foreach(page corvane-upload.1 corvane-localstore.1)
  add_custom_command(OUTPUT ${CORVANE_MAN_DIR}/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CORVANE_MAN_DIR}
    COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/docs/man/${page} > ${CORVANE_MAN_DIR}/${page}.gz
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${page}
    VERBATIM)
  list(APPEND CORVANE_MAN_PAGES ${CORVANE_MAN_DIR}/${page}.gz)
endforeach()
add_custom_target(man-pages ALL DEPENDS ${CORVANE_MAN_PAGES})

install(TARGETS corvane-upload RUNTIME DESTINATION bin COMPONENT uploader)
install(FILES ${CORVANE_MAN_DIR}/corvane-upload.1.gz DESTINATION share/man/man1
  COMPONENT uploader)
if(CORVANE_LOCALSTORE)
  install(TARGETS corvane-localstore RUNTIME DESTINATION bin COMPONENT localstore)
  install(FILES ${CORVANE_MAN_DIR}/corvane-localstore.1.gz DESTINATION share/man/man1
    COMPONENT localstore)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL uploader)
if(CORVANE_LOCALSTORE)
  list(APPEND CPACK_COMPONENTS_ALL localstore)
endif()
set(CPACK_PACKAGE_CONTACT "corvane-upload maintainers <maintainers@corvane.invalid>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_UPLOADER_PACKAGE_NAME corvane-upload)
set(CPACK_DEBIAN_UPLOADER_DESCRIPTION
  "Command-line uploader for the document store\n Uploads one file, directly or in parts, and writes a one-line JSON result.")
# HTTPS verifies servers against the system's certificates; the options that
# keep redirects on the web protocols came with libcurl 7.85.
set(CPACK_DEBIAN_UPLOADER_PACKAGE_DEPENDS "ca-certificates, libcurl4 (>= 7.85)")
set(CPACK_DEBIAN_LOCALSTORE_PACKAGE_NAME corvane-localstore)
set(CPACK_DEBIAN_LOCALSTORE_DESCRIPTION
  "Local stand-in of the document store's services\n Serves the gateway, the document store and the part storage on loopback, for trying corvane-upload and for its tests.")
