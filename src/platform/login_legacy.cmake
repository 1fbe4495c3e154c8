# Start at login and removal of the legacy agent install. Included from the
# platform folder (and, until then, from the login tests); paths are relative
# to this file so either includer works.
include_guard(GLOBAL)

add_library(kestrel_platform_login STATIC
    ${CMAKE_CURRENT_LIST_DIR}/LegacyInstall.h
    ${CMAKE_CURRENT_LIST_DIR}/LegacyInstall.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/LoginItemLinux.h
    ${CMAKE_CURRENT_LIST_DIR}/linux/LoginItemLinux.cpp)
target_include_directories(kestrel_platform_login PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(kestrel_platform_login PUBLIC Qt6::Core PRIVATE kestrel_system_text)

if(APPLE)
    target_sources(kestrel_platform_login PRIVATE
        ${CMAKE_CURRENT_LIST_DIR}/macos/LoginItemMac.h
        ${CMAKE_CURRENT_LIST_DIR}/macos/LoginItemMac.mm)
    set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/macos/LoginItemMac.mm
        PROPERTIES COMPILE_FLAGS "-fobjc-arc")
    target_link_libraries(kestrel_platform_login PUBLIC
        "-framework ServiceManagement" "-framework Foundation")
endif()
