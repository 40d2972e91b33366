# Installation: the converter, the Ostrine_LiDAR library with its header, a
# pkg-config file, a CMake package (find_package(Ostrine_LiDAR) gives the
# imported target Ostrine_LiDAR::Ostrine_LiDAR) and the man page Pelmora(1);
# then the Debian package through CPack (cmake/PelmoraPackaging.cmake).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS Pelmora RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS Ostrine_LiDAR EXPORT Ostrine_LiDARTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# CMake package: relocatable, found under <prefix>/<libdir>/cmake/Ostrine_LiDAR.
set(OSTRINE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Ostrine_LiDAR)
install(EXPORT Ostrine_LiDARTargets NAMESPACE Ostrine_LiDAR:: DESTINATION ${OSTRINE_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/Ostrine_LiDARConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/Ostrine_LiDARConfig.cmake
  INSTALL_DESTINATION ${OSTRINE_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/Ostrine_LiDARConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/Ostrine_LiDARConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/Ostrine_LiDARConfigVersion.cmake
        DESTINATION ${OSTRINE_CMAKE_DIR})

# pkg-config: ostrine_lidar.pc. Installed under /usr it names /usr, as the
# system's own .pc files do; under any other prefix it finds the prefix from
# its own place (${pcfiledir}), so an installed tree can be moved.
set(OSTRINE_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" OR IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}"
   OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(OSTRINE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(OSTRINE_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(OSTRINE_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH OSTRINE_PC_UP "/root/${OSTRINE_PC_DIR}" "/root")
  string(REGEX REPLACE "/$" "" OSTRINE_PC_UP "${OSTRINE_PC_UP}")
  set(OSTRINE_PC_PREFIX "\${pcfiledir}/${OSTRINE_PC_UP}")
  set(OSTRINE_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(OSTRINE_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/ostrine_lidar.pc.in ${CMAKE_CURRENT_BINARY_DIR}/ostrine_lidar.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ostrine_lidar.pc DESTINATION ${OSTRINE_PC_DIR})

# The man page, compressed as Debian keeps them.
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/Pelmora.1.gz
  COMMAND sh -c "gzip -9n < \"$1\" > \"$2\"" sh
          ${PROJECT_SOURCE_DIR}/man/Pelmora.1 ${CMAKE_CURRENT_BINARY_DIR}/Pelmora.1.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/man/Pelmora.1
  COMMENT "Compressing the man page Pelmora(1)" VERBATIM)
add_custom_target(manpage ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/Pelmora.1.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/Pelmora.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

include(${CMAKE_CURRENT_LIST_DIR}/PelmoraPackaging.cmake)
