# What `cmake --install` puts under the prefix: the public headers, the shared library, a CMake
# package (zqdds::zqdds) and a pkg-config file. nlohmann json is header-only and used privately,
# so a consumer needs neither it nor the thread package.

install(TARGETS zqdds EXPORT zqddsTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/include/zqdds
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    FILES_MATCHING PATTERN "*.h")
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/config/zqdds.json DESTINATION ${CMAKE_INSTALL_DATADIR}/zqdds)

set(ZQDDS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zqdds)
install(EXPORT zqddsTargets NAMESPACE zqdds:: DESTINATION ${ZQDDS_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/zqddsConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/zqddsConfig.cmake
    INSTALL_DESTINATION ${ZQDDS_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/zqddsConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zqddsConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/zqddsConfigVersion.cmake
    DESTINATION ${ZQDDS_CMAKE_DIR})

# The .pc file finds the prefix from its own place, so `cmake --install --prefix` anywhere works.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
    set(ZQDDS_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
    set(ZQDDS_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
    set(ZQDDS_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
    file(RELATIVE_PATH ZQDDS_PC_UP "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
    string(REGEX REPLACE "/$" "" ZQDDS_PC_UP "${ZQDDS_PC_UP}")
    set(ZQDDS_PC_PREFIX "\${pcfiledir}/${ZQDDS_PC_UP}")
    set(ZQDDS_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
    set(ZQDDS_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/zqdds.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zqdds.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zqdds.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
