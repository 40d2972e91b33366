# The Debian package "pelmora" (cpack -G DEB, or scripts/package-deb.sh,
# which configures with CMAKE_INSTALL_PREFIX=/usr for Debian's multiarch
# library directory). Its dependencies are computed by dpkg-shlibdeps from
# what Pelmora and libOstrine_LiDAR.so actually link (libc, libstdc++,
# shapelib, PROJ, ...), so they follow the build rather than a list here.
set(PELMORA_MAINTAINER "Pelmora maintainers <pelmora@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pelmora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Pelmora")
set(CPACK_PACKAGE_CONTACT "${PELMORA_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "LAS lidar to ESRI PointZ shapefile converter")
# The summary above is the first line of the Description field; this follows.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Pelmora converts an ASPRS LAS 1.0, 1.1 or 1.2 airborne-lidar point file
into an ESRI shapefile beside it: one PointZ shape per point (.shp, .shx)
and a dBASE table of the point attributes (.dbf). It streams the points in
chunks, so memory stays bounded whatever the size of the file.
.
The package also holds the C-callable utility library Ostrine_LiDAR (LAS
record layouts, file checks, a LAS header update, companion-index
quicksorts, argument checks) with its header, a pkg-config file
(ostrine_lidar) and a CMake package (find_package(Ostrine_LiDAR)).")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PELMORA_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)          # pelmora_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)           # Depends: from dpkg-shlibdeps
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)     # shlibs + ldconfig trigger for libOstrine_LiDAR.so.0
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
