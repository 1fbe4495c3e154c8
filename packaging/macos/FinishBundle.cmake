# Runs at installation on macOS, after the bundle has been copied: copies Qt
# and every other library from outside the system into the bundle, points the
# agent at them, and signs the result ad hoc (Apple silicon runs no unsigned
# code). KESTREL_MACDEPLOYQT is set by the install step before this script.
set(bundle "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/KestrelAgent.app")
set(agent "${bundle}/Contents/Resources/PrintService/orvanta-print-agent")

function(kestrel_run)
    execute_process(COMMAND ${ARGN} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

set(deploy_arguments "${bundle}" -always-overwrite -verbose=1)
if(EXISTS "${agent}")
    list(APPEND deploy_arguments "-executable=${agent}")
endif()
kestrel_run("${KESTREL_MACDEPLOYQT}" ${deploy_arguments})

# The deployment tool names the copied libraries relative to Contents/MacOS;
# the agent lives two folders deeper than that.
if(EXISTS "${agent}")
    execute_process(COMMAND otool -L "${agent}" OUTPUT_VARIABLE agent_libraries
                    COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "@executable_path/\\.\\./Frameworks/[^ \t\n]+" moved "${agent_libraries}")
    foreach(old IN LISTS moved)
        string(REPLACE "@executable_path/../Frameworks/" "@executable_path/../../Frameworks/"
                       new "${old}")
        kestrel_run(install_name_tool -change "${old}" "${new}" "${agent}")
    endforeach()
    if(agent_libraries MATCHES "\t@rpath/")
        kestrel_run(install_name_tool -add_rpath "@executable_path/../../Frameworks" "${agent}")
    endif()
endif()

# A library still loaded from a package manager's folder would make a bundle
# that runs on the build machine only.
file(GLOB_RECURSE bundle_files LIST_DIRECTORIES false "${bundle}/*")
foreach(file IN LISTS bundle_files)
    execute_process(COMMAND otool -L "${file}" OUTPUT_VARIABLE libraries
                    RESULT_VARIABLE status ERROR_QUIET)
    if(status EQUAL 0 AND libraries MATCHES "\t(/opt/homebrew|/usr/local)/[^ \t\n]+")
        message(FATAL_ERROR "${file} still loads ${CMAKE_MATCH_0}")
    endif()
endforeach()

# Install-name changes void the linker's signatures: sign again, inner code
# first, then the bundle, and check the result.
if(EXISTS "${agent}")
    kestrel_run(codesign --force --sign - "${agent}")
endif()
kestrel_run(codesign --force --deep --sign - "${bundle}")
kestrel_run(codesign --verify --deep --verbose=2 "${bundle}")
