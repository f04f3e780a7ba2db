# Settings every target of the project shares.
set(ORVANE_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)

option(ORVANE_WARNINGS_AS_ERRORS "Fail the build on any compiler warning" ON)
set(ORVANE_WARNING_OPTIONS -Wall -Wextra)
if(ORVANE_WARNINGS_AS_ERRORS)
    list(APPEND ORVANE_WARNING_OPTIONS -Werror)
endif()

# The oldest Windows the library runs on; the only place the SDK version is chosen.
set(ORVANE_WINDOWS_VERSION 0x0601)

function(orvane_defaults target)
    target_compile_options(${target} PRIVATE ${ORVANE_WARNING_OPTIONS})
    target_compile_definitions(${target} PRIVATE _WIN32_WINNT=${ORVANE_WINDOWS_VERSION}
        WINVER=${ORVANE_WINDOWS_VERSION} WIN32_LEAN_AND_MEAN NOMINMAX)
    target_include_directories(${target} PRIVATE ${ORVANE_ROOT})
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "EXECUTABLE")
        # The C++ and threading runtimes are linked in, so a clean Windows needs no extra DLLs.
        target_link_options(${target} PRIVATE -static)
        # The tick every image uses, which also keeps the threading runtime's GetTickCount64 import
        # out of the image (common/Tick.cpp): each image gets its own copy. Without exceptions it
        # needs nothing of the C++ runtime, so an image that used none does not grow by it.
        target_sources(${target} PRIVATE ${ORVANE_ROOT}/common/Tick.cpp)
        set_source_files_properties(${ORVANE_ROOT}/common/Tick.cpp TARGET_DIRECTORY ${target}
            PROPERTIES COMPILE_OPTIONS -fno-exceptions)
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
