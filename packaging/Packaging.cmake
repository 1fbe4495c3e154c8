# Icons, installation and packages. Included at the end of the top-level
# CMakeLists.txt, once every target exists.
#
# Linux: `cmake --install` lays out
#   <prefix>/lib/kestrel-agent/KestrelAgent.app/   the bundle, as built
#   <prefix>/bin/kestrel-agent                     a link to its executable
#   <prefix>/share/applications/kestrel-agent.desktop
#   <prefix>/share/icons/hicolor/…/apps/kestrel-agent.{png,svg}
#   <prefix>/share/metainfo/ru.orvanta.print.metainfo.xml
# and CPack makes a Debian package of it. macOS: the bundle alone, with Qt and
# the other libraries copied in, on a drag-and-drop disk image.

set(KESTREL_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(KESTREL_ICONS_DIR ${CMAKE_BINARY_DIR}/icons)
# Date of the release named by the project version, for the AppStream data.
set(KESTREL_RELEASE_DATE "2026-12-06")
# The released file, as the update check accepts exactly: the macOS disk
# image, or the Debian package under Debian's name for the processor.
if(APPLE)
    set(KESTREL_PACKAGE_FILE_NAME "KESTREL-Agent-${PROJECT_VERSION}-macOS-AppleSilicon.dmg")
else()
    find_program(KESTREL_DPKG dpkg)
    if(KESTREL_DPKG)
        execute_process(COMMAND ${KESTREL_DPKG} --print-architecture
                        OUTPUT_VARIABLE KESTREL_DEBIAN_ARCHITECTURE
                        OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
        set(KESTREL_DEBIAN_ARCHITECTURE arm64)
    else()
        set(KESTREL_DEBIAN_ARCHITECTURE amd64)
    endif()
    set(KESTREL_PACKAGE_FILE_NAME
        "KESTREL-Agent-${PROJECT_VERSION}-linux-${KESTREL_DEBIAN_ARCHITECTURE}.deb")
endif()

# --- Icons -----------------------------------------------------------------
# Drawn by the application's own icon code, so the installed files and the
# running application cannot differ; the SVG files in packaging/icons/ are
# the same drawings, written by this tool (see the README after a change).
add_executable(kestrel_render_icons ${KESTREL_PACKAGING_DIR}/icons/RenderIcons.cpp)
target_link_libraries(kestrel_render_icons PRIVATE kestrel_ui)
set_target_properties(kestrel_render_icons PROPERTIES OUTPUT_NAME kestrel-render-icons)

set(KESTREL_THEME_ICON_SIZES 16 22 24 32 48 64 128 256 512)
set(kestrel_icon_files
    ${KESTREL_ICONS_DIR}/kestrel-agent.svg ${KESTREL_ICONS_DIR}/printer-glyph.svg)
foreach(size IN LISTS KESTREL_THEME_ICON_SIZES)
    list(APPEND kestrel_icon_files
         ${KESTREL_ICONS_DIR}/hicolor/${size}x${size}/apps/kestrel-agent.png)
endforeach()
foreach(size 16 32 128 256 512)
    list(APPEND kestrel_icon_files
         ${KESTREL_ICONS_DIR}/KestrelAgent.iconset/icon_${size}x${size}.png
         ${KESTREL_ICONS_DIR}/KestrelAgent.iconset/icon_${size}x${size}@2x.png)
endforeach()
add_custom_command(
    OUTPUT ${kestrel_icon_files}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${KESTREL_ICONS_DIR}
    COMMAND kestrel_render_icons icons ${KESTREL_ICONS_DIR}
    DEPENDS kestrel_render_icons
    COMMENT "Drawing the icon files"
    VERBATIM)
add_custom_target(kestrel_icons ALL DEPENDS ${kestrel_icon_files})

# --- AppStream data ----------------------------------------------------------
set(KESTREL_METAINFO ${CMAKE_BINARY_DIR}/ru.orvanta.print.metainfo.xml)
configure_file(${KESTREL_PACKAGING_DIR}/ru.orvanta.print.metainfo.xml.in ${KESTREL_METAINFO} @ONLY)

if(APPLE)
    # --- macOS bundle and disk image --------------------------------------------
    find_program(KESTREL_ICONUTIL iconutil REQUIRED)
    set(kestrel_icns ${KESTREL_BUNDLE_DIR}/Contents/Resources/KestrelAgent.icns)
    add_custom_command(
        OUTPUT ${kestrel_icns}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${KESTREL_BUNDLE_DIR}/Contents/Resources
        COMMAND ${KESTREL_ICONUTIL} --convert icns --output ${kestrel_icns}
                ${KESTREL_ICONS_DIR}/KestrelAgent.iconset
        DEPENDS ${kestrel_icon_files}
        COMMENT "Making the bundle icon"
        VERBATIM)
    add_custom_target(kestrel_bundle_icon ALL DEPENDS ${kestrel_icns})
    add_dependencies(kestrel_bundle_icon KestrelAgent)

    # The bundle is copied whole, with the agent and the icon placed in it at
    # build time; the finishing script then copies Qt and the other
    # non-system libraries into it and signs it ad hoc.
    install(TARGETS KestrelAgent BUNDLE DESTINATION .)
    # Qt's Russian texts travel in the bundle, where the application looks
    # first; the system has no copy of its own.
    install(FILES "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_TRANSLATIONS}/qtbase_ru.qm"
            DESTINATION KestrelAgent.app/Contents/Resources/translations)
    find_program(KESTREL_MACDEPLOYQT macdeployqt
                 HINTS "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS}" REQUIRED)
    install(CODE "set(KESTREL_MACDEPLOYQT \"${KESTREL_MACDEPLOYQT}\")")
    install(SCRIPT ${KESTREL_PACKAGING_DIR}/macos/FinishBundle.cmake)

    set(CPACK_GENERATOR DragNDrop)
    string(REGEX REPLACE "\\.dmg$" "" CPACK_PACKAGE_FILE_NAME ${KESTREL_PACKAGE_FILE_NAME})
    set(CPACK_DMG_VOLUME_NAME "KESTREL Agent")
    set(CPACK_DMG_FORMAT UDZO)
else()
    # --- Linux installation and Debian package ---------------------------------
    set(kestrel_bundle lib/kestrel-agent/KestrelAgent.app)
    install(TARGETS KestrelAgent RUNTIME DESTINATION ${kestrel_bundle}/Contents/MacOS)
    install(FILES ${KESTREL_BUNDLE_DIR}/Contents/Info.plist DESTINATION ${kestrel_bundle}/Contents)
    if(TARGET orvanta-print-agent)
        install(TARGETS orvanta-print-agent
                RUNTIME DESTINATION ${kestrel_bundle}/Contents/Resources/PrintService)
    endif()

    # A relative link, so it holds under any prefix and inside DESTDIR. The
    # application finds its bundle from its resolved executable path.
    set(kestrel_launcher ${CMAKE_BINARY_DIR}/launcher/kestrel-agent)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/launcher)
    file(CREATE_LINK ../lib/kestrel-agent/KestrelAgent.app/Contents/MacOS/KestrelAgent
         ${kestrel_launcher} SYMBOLIC)
    install(FILES ${kestrel_launcher} DESTINATION bin)

    install(FILES ${KESTREL_PACKAGING_DIR}/kestrel-agent.desktop DESTINATION share/applications)
    install(FILES ${KESTREL_METAINFO} DESTINATION share/metainfo)
    foreach(size IN LISTS KESTREL_THEME_ICON_SIZES)
        install(FILES ${KESTREL_ICONS_DIR}/hicolor/${size}x${size}/apps/kestrel-agent.png
                DESTINATION share/icons/hicolor/${size}x${size}/apps)
    endforeach()
    install(FILES ${KESTREL_PACKAGING_DIR}/icons/kestrel-agent.svg
            DESTINATION share/icons/hicolor/scalable/apps)

    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_STRIP_FILES ON)
    set(CPACK_DEBIAN_FILE_NAME ${KESTREL_PACKAGE_FILE_NAME})
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${KESTREL_DEBIAN_ARCHITECTURE})
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "KESTREL <support@kestrel.example>")
    # Library dependencies of the application and the agent, read from the
    # binaries by dpkg-shlibdeps.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # Qt's own Russian texts for network and system messages; the libraries
    # themselves do not pull them in.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-translations-l10n")
    # xdg-open opens the cabinet; desktop-file-utils registers the link
    # handler, without which the browser's kestrel: links reach nobody.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, desktop-file-utils")
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

set(CPACK_PACKAGE_NAME kestrel-agent)
set(CPACK_PACKAGE_VENDOR KESTREL)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Агент KESTREL — служба печати и подписи для кабинета")
set(CPACK_PACKAGE_DESCRIPTION "Keeps the local print-and-signing agent running for the user
and connects it to the user's web cabinet; lives in the tray.")
set(CPACK_PACKAGE_CHECKSUM SHA256)
include(CPack)

if(KESTREL_BUILD_TESTS)
    add_subdirectory(${KESTREL_PACKAGING_DIR}/../tests/packaging ${CMAKE_BINARY_DIR}/tests/packaging)
endif()
