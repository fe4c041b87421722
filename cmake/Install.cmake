# Installation for a Linux desktop: the client in bin/, the icon in the hicolor theme, the
# menu's desktop entry and an autostart entry that a user copies into ~/.config/autostart.
# The empty journal template share/tillhaven/checks.db comes from src/cashbox. The layout is
# fixed to bin/, lib/ and share/: an installed program looks for its journal template in
# <its directory>/../share/tillhaven.

# Directories an installation creates are readable by every user whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS tillhaven RUNTIME DESTINATION bin)

# For training and support, kept off the PATH: the local service stand-in, and the register
# emulator behind the vendor's interface (RegisterDriver=<prefix>/lib/tillhaven/libfptr10-emulator.so).
# A shared library is loaded, not run: no execute bits.
install(TARGETS tillhaven-sandbox RUNTIME DESTINATION lib/tillhaven)
install(TARGETS fptr10_emulator LIBRARY DESTINATION lib/tillhaven
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# The emulator's bench with the sandbox's two demo registers: copied beside settings.ini as
# emulator.json, it lets an installed client train against the sandbox without the sources.
install(FILES ${PROJECT_SOURCE_DIR}/src/emulator/demo-emulator.json DESTINATION share/tillhaven)

# The manual page, the package's copyright and its changelog, compressed as Debian keeps
# them (gzip -9n: the same bytes at every build).
set(TH_DOC_DIR ${CMAKE_BINARY_DIR}/share/doc/tillhaven)
set(TH_MAN_DIR ${CMAKE_BINARY_DIR}/share/man/man1)
configure_file(${PROJECT_SOURCE_DIR}/packaging/tillhaven.1.in ${TH_MAN_DIR}/tillhaven.1 @ONLY)
add_custom_command(OUTPUT ${TH_DOC_DIR}/changelog.gz ${TH_MAN_DIR}/tillhaven.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TH_DOC_DIR}
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog > ${TH_DOC_DIR}/changelog.gz
    COMMAND gzip -9nc ${TH_MAN_DIR}/tillhaven.1 > ${TH_MAN_DIR}/tillhaven.1.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog ${TH_MAN_DIR}/tillhaven.1
    COMMENT "Compressing the changelog and the manual page")
add_custom_target(th_docs ALL DEPENDS ${TH_DOC_DIR}/changelog.gz ${TH_MAN_DIR}/tillhaven.1.gz)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${TH_DOC_DIR}/changelog.gz
    DESTINATION share/doc/tillhaven)
install(FILES ${TH_MAN_DIR}/tillhaven.1.gz DESTINATION share/man/man1)
# CPack calls ldconfig from the package's scripts for any library under /usr/lib, also for
# the emulator in its private directory, which the loader never searches.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
    DESTINATION share/lintian/overrides RENAME tillhaven)

# The udev rule that lets the user at the seat open the registers' USB devices and ports;
# udev reads <prefix>/lib/udev/rules.d (with the /usr prefix of the package).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/70-tillhaven-atol.rules
    DESTINATION lib/udev/rules.d)

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
