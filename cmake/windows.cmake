# The stand-in pager for the end-to-end suite under wine, built as less.exe where no real one is.
add_executable(stand_in_less tests/support/stand_in_less.cpp)
set_target_properties(stand_in_less PROPERTIES OUTPUT_NAME less RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/stand-in)

# The Windows release: efsh-<version>-win64.zip holding, in its folder efsh-<version>-win64,
# efsh.exe, README.txt written for Windows users, and the manual written for Windows as plain
# text; both texts with CR LF line ends and nothing but printable characters, tabs and line ends,
# so that Notepad shows them clean. Only these, in the "win64"
# component: the install rules the Linux package uses (bin/, share/man/) and the developers'
# README.md stay out of the zip.
set(EFSH_WINDOWS_TEXT ${PROJECT_SOURCE_DIR}/cmake/windows_text.cmake)
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/README.txt
  COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/doc/README-windows.txt -DOUT=${PROJECT_BINARY_DIR}/README.txt
          -P ${EFSH_WINDOWS_TEXT}
  DEPENDS ${PROJECT_SOURCE_DIR}/doc/README-windows.txt ${EFSH_WINDOWS_TEXT}
  COMMENT "Writing README.txt for Windows")
add_custom_target(readme_text ALL DEPENDS ${PROJECT_BINARY_DIR}/README.txt)
install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION . COMPONENT win64)
find_program(EFSH_GROFF groff)
if(EFSH_GROFF)
  # Windows has no man and no pager that reads groff's output: plain text, bold and underlining
  # left out, and the overstriking that draws the rest (bullets) reduced to one character. The
  # page's Windows text is chosen with the register W (its examples, notes and messages there).
  add_custom_command(
    OUTPUT ${PROJECT_BINARY_DIR}/efsh.txt
    COMMAND ${EFSH_GROFF} -man -Tascii -P-cbu -rW1 ${PROJECT_SOURCE_DIR}/doc/efsh.1 > ${PROJECT_BINARY_DIR}/efsh.groff.txt
    COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_BINARY_DIR}/efsh.groff.txt -DOUT=${PROJECT_BINARY_DIR}/efsh.txt
            -P ${EFSH_WINDOWS_TEXT}
    DEPENDS ${PROJECT_SOURCE_DIR}/doc/efsh.1 ${EFSH_WINDOWS_TEXT}
    COMMENT "Rendering the manual as text")
  add_custom_target(manual_text ALL DEPENDS ${PROJECT_BINARY_DIR}/efsh.txt)
  install(FILES ${PROJECT_BINARY_DIR}/efsh.txt DESTINATION . COMPONENT win64)
else()
  message(WARNING "groff not found: the Windows package will lack the manual (efsh.txt)")
endif()
install(TARGETS efsh RUNTIME DESTINATION . COMPONENT win64)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME efsh)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME efsh-${PROJECT_VERSION}-win64)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
# Unpacked, the three files land in a folder of their own, efsh-<version>-win64.
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_COMPONENTS_ALL win64)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_STRIP_FILES ON)
include(CPack)
