# corvane-upload-<version>-win64.zip (cpack in the build directory): the
# executable, the README's Windows edition and the examples, in one folder.
install(TARGETS corvane-upload RUNTIME DESTINATION .)

# The zip's README: README.md without what the zip does not hold, with the
# manual page as text (cmake/windows-readme.cmake), written at build time.
set(CORVANE_ZIP_README ${CMAKE_BINARY_DIR}/zip/README.md)
add_custom_command(OUTPUT ${CORVANE_ZIP_README}
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DOUTPUT=${CORVANE_ZIP_README}
          -P ${CMAKE_SOURCE_DIR}/cmake/windows-readme.cmake
  DEPENDS ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/man/corvane-upload.1
          ${CMAKE_SOURCE_DIR}/cmake/windows-readme.cmake
  COMMENT "Writing the zip's README"
  VERBATIM)
add_custom_target(windows-readme ALL DEPENDS ${CORVANE_ZIP_README})
install(FILES ${CORVANE_ZIP_README} DESTINATION .)

# examples/gui-caller.c: a caller without a console, shipped as source and
# built, beside the example configurations. Linked statically, so that it
# runs from the unpacked zip as the uploader does.
enable_language(C)
add_executable(gui-caller ${CMAKE_SOURCE_DIR}/examples/gui-caller.c)
target_compile_options(gui-caller PRIVATE -municode)
target_link_options(gui-caller PRIVATE -municode -static)
# Beside the uploader in bin/ as in the zip, where the tests under Wine look.
set_target_properties(gui-caller PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/examples)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples DESTINATION .)
install(TARGETS gui-caller RUNTIME DESTINATION examples)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME corvane-upload)
set(CPACK_SYSTEM_NAME win64)
set(CPACK_STRIP_FILES ON)
