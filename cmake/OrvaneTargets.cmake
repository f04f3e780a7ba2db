# Settings every target of the project shares.
set(ORVANE_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)

function(orvane_defaults target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
    target_compile_definitions(${target} PRIVATE _WIN32_WINNT=0x0601 WINVER=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
    target_include_directories(${target} PRIVATE ${ORVANE_ROOT})
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "EXECUTABLE")
        # The C++ and threading runtimes are linked in, so a clean Windows needs no extra DLLs.
        target_link_options(${target} PRIVATE -static)
    endif()
endfunction()

# Attaches a Windows version resource generated from project(VERSION).
function(orvane_version_resource target description original_name)
    set(ORVANE_RC_DESCRIPTION "${description}")
    set(ORVANE_RC_ORIGINAL_NAME "${original_name}")
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${ORVANE_ROOT}/cmake/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
endfunction()
