# The Windows resources of the program: the version resource, generated from the version
# strings of the top-level CMakeLists.txt (the same ones the POSIX build embeds), and the
# icon "MAINICON" drawn by scripts/make_icon.py. Compiled once with windres into an object
# that every executable needing the resources links.
include_guard(GLOBAL)

find_program(ZANPOST_WINDRES NAMES ${CMAKE_RC_COMPILER} ${ZANPOST_MINGW_TRIPLET}-windres windres REQUIRED)

set(ZANPOST_ICON_FILE ${PROJECT_SOURCE_DIR}/cmake/zanpost.ico)
configure_file(${PROJECT_SOURCE_DIR}/cmake/zanpost.rc.in ${PROJECT_BINARY_DIR}/generated/zanpost.rc @ONLY)

add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/generated/zanpost_rc.o
  COMMAND ${ZANPOST_WINDRES} --input-format=rc --output-format=coff
          -i ${PROJECT_BINARY_DIR}/generated/zanpost.rc -o ${PROJECT_BINARY_DIR}/generated/zanpost_rc.o
  DEPENDS ${PROJECT_BINARY_DIR}/generated/zanpost.rc ${ZANPOST_ICON_FILE}
  COMMENT "Compiling the version resource and the icon"
  VERBATIM)
add_custom_target(zp_windows_resources DEPENDS ${PROJECT_BINARY_DIR}/generated/zanpost_rc.o)

# zp_add_windows_resources(TARGET): gives an executable the program's resources.
function(zp_add_windows_resources target)
  add_dependencies(${target} zp_windows_resources)
  target_link_libraries(${target} PRIVATE ${PROJECT_BINARY_DIR}/generated/zanpost_rc.o)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${PROJECT_BINARY_DIR}/generated/zanpost_rc.o)
endfunction()
