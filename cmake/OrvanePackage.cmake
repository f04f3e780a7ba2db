# The install tree a host builds against: include/, lib/ (import libraries), bin/ (DLLs),
# and a package configuration for find_package(Orvane CONFIG).
include(CMakePackageConfigHelpers)

install(DIRECTORY ${ORVANE_ROOT}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
install(EXPORT OrvaneTargets NAMESPACE Orvane:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Orvane)
configure_package_config_file(${ORVANE_ROOT}/cmake/OrvaneConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/OrvaneConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Orvane)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/OrvaneConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/OrvaneConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/OrvaneConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Orvane)

# The driver's set-up script, and in the 32-bit tree the 64-bit driver from the peer build, which a
# 64-bit kernel needs in place of the 32-bit one (drivers/x64/REGSYS.SYS).
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(ORVANE_TREE_BITS 64)
else()
    set(ORVANE_TREE_BITS 32)
    if(ORVANE_PEER_BUILD_DIR)
        install(FILES ${ORVANE_PEER_BUILD_DIR}/drivers/REGSYS.SYS DESTINATION drivers/x64 OPTIONAL)
    endif()
endif()
configure_file(${ORVANE_ROOT}/driver/install-driver.cmd.in ${CMAKE_CURRENT_BINARY_DIR}/install-driver.cmd
    NEWLINE_STYLE CRLF @ONLY)
install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/install-driver.cmd DESTINATION drivers)
