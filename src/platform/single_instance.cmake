# One running application per user; later starts hand their links over.
# Included from the platform folder; paths are relative to this file.
include_guard(GLOBAL)

add_library(kestrel_single_instance STATIC
    ${CMAKE_CURRENT_LIST_DIR}/SingleInstance.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SingleInstance.h)
target_include_directories(kestrel_single_instance PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(kestrel_single_instance PUBLIC Qt6::Core Qt6::Network)
