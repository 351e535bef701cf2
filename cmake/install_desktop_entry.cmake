# Run at install time (install(SCRIPT)), with MARLUNE_DESKTOP_TEMPLATE set: writes the menu entry
# with the installed program's absolute path, so it starts whatever the prefix and the PATH.
set(program "${CMAKE_INSTALL_PREFIX}/bin/marlune")
# The Exec key's quoting: the path in double quotes, with ", `, $ and \ escaped by a backslash,
# and then every backslash doubled for the desktop file's own string escapes.
string(REPLACE "\\" "\\\\" quoted "${program}")
string(REPLACE "\"" "\\\"" quoted "${quoted}")
string(REPLACE "`" "\\`" quoted "${quoted}")
string(REPLACE "$" "\\$" quoted "${quoted}")
string(REPLACE "\\" "\\\\" quoted "${quoted}")
set(MARLUNE_EXEC "\"${quoted}\"")
set(destination "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/share/applications")
message(STATUS "Installing: ${destination}/app.marlune.studio.desktop")
configure_file("${MARLUNE_DESKTOP_TEMPLATE}" "${destination}/app.marlune.studio.desktop" @ONLY)
