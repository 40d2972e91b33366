# Installation: the converter, the Ostrine_LiDAR library with its header, a
# pkg-config file, a CMake package (find_package(Ostrine_LiDAR) gives the
# imported target Ostrine_LiDAR::Ostrine_LiDAR), the man pages and bash
# completions, the LAZ decoder with its codec (cmake/PelmoraDecoder.cmake) and the tile
# scripts; then the Debian packages through CPack (cmake/PelmoraPackaging.cmake).
#
# Everything belongs to one of three components, which become the Debian
# packages: "library" (the shared library under its soname), "development"
# (header, .so link, pkg-config and CMake files) and "programs" (the rest).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS Pelmora pelmora-convert RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
# pelmora-laz: the older LAZ command, pelmora-convert under another name.
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/install-links)
file(CREATE_LINK pelmora-convert ${CMAKE_CURRENT_BINARY_DIR}/install-links/pelmora-laz SYMBOLIC)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/install-links/pelmora-laz DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT programs)
# Completion of options and file names in bash, one file for both commands.
foreach(command pelmora-convert pelmora-laz)
  install(FILES ${PROJECT_SOURCE_DIR}/completion/pelmora-convert.bash
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${command} COMPONENT programs)
endforeach()
install(TARGETS Ostrine_LiDAR EXPORT Ostrine_LiDARTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT development
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

# CMake package: relocatable, found under <prefix>/<libdir>/cmake/Ostrine_LiDAR.
set(OSTRINE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Ostrine_LiDAR)
install(EXPORT Ostrine_LiDARTargets NAMESPACE Ostrine_LiDAR:: DESTINATION ${OSTRINE_CMAKE_DIR}
  COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/Ostrine_LiDARConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/Ostrine_LiDARConfig.cmake
  INSTALL_DESTINATION ${OSTRINE_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/Ostrine_LiDARConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/Ostrine_LiDARConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/Ostrine_LiDARConfigVersion.cmake
        DESTINATION ${OSTRINE_CMAKE_DIR} COMPONENT development)

# pkg-config: ostrine_lidar.pc. Installed under /usr it names /usr, as the
# system's own .pc files do; under any other prefix it finds the prefix from
# its own place (${pcfiledir}): one ".." for each directory of its path below
# the prefix, so an installed tree can be moved.
set(OSTRINE_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" OR IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}"
   OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(OSTRINE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(OSTRINE_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(OSTRINE_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  cmake_path(SET OSTRINE_PC_DIR_NORMAL NORMALIZE "${OSTRINE_PC_DIR}")
  string(REGEX REPLACE "/$" "" OSTRINE_PC_DIR_NORMAL "${OSTRINE_PC_DIR_NORMAL}")
  string(REPLACE "/" ";" OSTRINE_PC_DIR_PARTS "${OSTRINE_PC_DIR_NORMAL}")
  set(OSTRINE_PC_PREFIX "\${pcfiledir}")
  foreach(part IN LISTS OSTRINE_PC_DIR_PARTS)
    if(part STREQUAL "..")
      message(FATAL_ERROR "CMAKE_INSTALL_LIBDIR (${CMAKE_INSTALL_LIBDIR}) leaves the prefix")
    endif()
    string(APPEND OSTRINE_PC_PREFIX "/..")
  endforeach()
  set(OSTRINE_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(OSTRINE_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/ostrine_lidar.pc.in ${CMAKE_CURRENT_BINARY_DIR}/ostrine_lidar.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ostrine_lidar.pc DESTINATION ${OSTRINE_PC_DIR} COMPONENT development)

# The man pages, compressed as Debian keeps them.
set(PELMORA_MAN_PAGES Pelmora.1 pelmora-convert.1 pelmora-laz.1)
set(PELMORA_MAN_OUTPUTS)
foreach(page IN LISTS PELMORA_MAN_PAGES)
  add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${page}.gz
    COMMAND sh -c "gzip -9n < \"$1\" > \"$2\"" sh
            ${PROJECT_SOURCE_DIR}/man/${page} ${CMAKE_CURRENT_BINARY_DIR}/${page}.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}
    COMMENT "Compressing the man page ${page}" VERBATIM)
  list(APPEND PELMORA_MAN_OUTPUTS ${CMAKE_CURRENT_BINARY_DIR}/${page}.gz)
endforeach()
add_custom_target(manpage ALL DEPENDS ${PELMORA_MAN_OUTPUTS})
install(FILES ${PELMORA_MAN_OUTPUTS} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)

include(${CMAKE_CURRENT_LIST_DIR}/PelmoraDecoder.cmake)

# The tile scripts, run from where they are installed (they find
# pelmora-convert on the PATH or in bin/ of the same prefix, through the
# piece of shell they both source).
install(PROGRAMS ${PROJECT_SOURCE_DIR}/scripts/convert-tiles.sh ${PROJECT_SOURCE_DIR}/scripts/quicklook.sh
  DESTINATION ${CMAKE_INSTALL_DATADIR}/pelmora/scripts COMPONENT programs)
install(FILES ${PROJECT_SOURCE_DIR}/scripts/find-converter.sh
  DESTINATION ${CMAKE_INSTALL_DATADIR}/pelmora/scripts COMPONENT programs)

include(${CMAKE_CURRENT_LIST_DIR}/PelmoraPackaging.cmake)
