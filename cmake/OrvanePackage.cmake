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
