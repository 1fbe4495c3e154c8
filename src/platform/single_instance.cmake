# How links reach the application: one running instance per user, to which
# later starts hand their links over, and the system's URL-open events.
# Included from the platform folder; paths are relative to this file.
include_guard(GLOBAL)

add_library(kestrel_single_instance STATIC
    ${CMAKE_CURRENT_LIST_DIR}/SingleInstance.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SingleInstance.h
    ${CMAKE_CURRENT_LIST_DIR}/UrlOpenEvents.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UrlOpenEvents.h)
target_include_directories(kestrel_single_instance PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(kestrel_single_instance PUBLIC Qt6::Core Qt6::Gui Qt6::Network)
