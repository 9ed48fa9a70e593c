# corvane-upload-<version>-win64.zip (cpack in the build directory): the
# executable, the README and the example configurations, in one folder.
install(TARGETS corvane-upload RUNTIME DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME corvane-upload)
set(CPACK_SYSTEM_NAME win64)
set(CPACK_STRIP_FILES ON)
