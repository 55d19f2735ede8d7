# The program's two icons, MainIcon.ico (the application's icon) and ErrorIcon.ico (the tray
# icon of a failed start), drawn in the build tree by dravik_icon_tool (tools/IconTool.cpp)
# and made anew whenever the tool changes.
#
# The program lists them in its dravik_add_resources call and waits for them:
#   dravik_add_resources(<target> ${DRAVIK_ICON_RESOURCES} <more NAME file pairs>)
#   add_dependencies(<target> dravik_icons)
# DRAVIK_ICON_MAIN_FILE and DRAVIK_ICON_ERROR_FILE are the two files, for tests.
include_guard(GLOBAL)

set(_dravik_icon_folder "${CMAKE_BINARY_DIR}/generated/icons")
file(MAKE_DIRECTORY "${_dravik_icon_folder}")

set(DRAVIK_ICON_MAIN_FILE "${_dravik_icon_folder}/MainIcon.ico")
set(DRAVIK_ICON_ERROR_FILE "${_dravik_icon_folder}/ErrorIcon.ico")
set(DRAVIK_ICON_RESOURCES
  MAINICON "${DRAVIK_ICON_MAIN_FILE}"
  ERROR_ICO "${DRAVIK_ICON_ERROR_FILE}")

add_custom_command(
  OUTPUT "${DRAVIK_ICON_MAIN_FILE}" "${DRAVIK_ICON_ERROR_FILE}"
  COMMAND dravik_icon_tool "${DRAVIK_ICON_MAIN_FILE}" "${DRAVIK_ICON_ERROR_FILE}"
  DEPENDS dravik_icon_tool
  COMMENT "Drawing the program's icons"
  VERBATIM)
add_custom_target(dravik_icons DEPENDS "${DRAVIK_ICON_MAIN_FILE}" "${DRAVIK_ICON_ERROR_FILE}")
