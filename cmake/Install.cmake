# Installation for a Linux desktop: the programs in bin/, the icon in the hicolor theme, the
# menu's desktop entry and an autostart entry that a user copies into ~/.config/autostart.
# The empty journal template share/tillhaven/checks.db comes from src/cashbox. The layout is
# fixed to bin/ and share/: an installed program looks for its journal template in
# <its directory>/../share/tillhaven.

install(TARGETS tillhaven RUNTIME DESTINATION bin)

# The icon, drawn at build time at every size of the hicolor theme.
set(TH_ICON_SIZES 16 22 24 32 48 64 128 256)
set(TH_ICON_THEME_DIR ${CMAKE_BINARY_DIR}/share/icons/hicolor)
add_executable(tillhaven-render-icons ${PROJECT_SOURCE_DIR}/packaging/icons/RenderIcons.cpp)
target_link_libraries(tillhaven-render-icons PRIVATE Qt6::Gui)
set(th_icon_files)
foreach(size IN LISTS TH_ICON_SIZES)
    list(APPEND th_icon_files ${TH_ICON_THEME_DIR}/${size}x${size}/apps/tillhaven.png)
endforeach()
add_custom_command(OUTPUT ${th_icon_files}
    COMMAND tillhaven-render-icons ${TH_ICON_THEME_DIR} ${TH_ICON_SIZES}
    DEPENDS tillhaven-render-icons
    COMMENT "Drawing the program's icon"
    VERBATIM)
add_custom_target(th_icons ALL DEPENDS ${th_icon_files})
install(DIRECTORY ${TH_ICON_THEME_DIR}/ DESTINATION share/icons/hicolor)

# Desktop entries name the installed program by its full path, so they work whatever the
# prefix and whether or not it is on the PATH. The prefix is the one given to
# `cmake --install --prefix`, known only when installing.
install(CODE "set(th_packaging_dir \"${PROJECT_SOURCE_DIR}/packaging\")")
install(CODE [[
    macro(th_install_desktop_entry template destination)
        set(th_entry "${CMAKE_INSTALL_PREFIX}/${destination}")
        message(STATUS "Installing: $ENV{DESTDIR}${th_entry}")
        file(READ "${th_packaging_dir}/${template}" th_text)
        string(REPLACE "@TH_BINDIR@" "${CMAKE_INSTALL_PREFIX}/bin" th_text "${th_text}")
        file(WRITE "$ENV{DESTDIR}${th_entry}" "${th_text}")
        list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${th_entry}")
    endmacro()
    th_install_desktop_entry(tillhaven.desktop.in share/applications/tillhaven.desktop)
    th_install_desktop_entry(tillhaven-autostart.desktop.in share/tillhaven/autostart/tillhaven.desktop)
]])
