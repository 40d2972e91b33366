# The Debian packages (cpack -G DEB, or scripts/package-deb.sh, which
# configures with CMAKE_INSTALL_PREFIX=/usr for Debian's multiarch library
# directory), one per install component, as Debian splits a library:
#   libostrine-lidar0      the shared library under its soname, with a shlibs
#                          file and the ldconfig trigger;
#   libostrine-lidar-dev   the header, the .so link, the pkg-config and CMake
#                          files;
#   pelmora                Pelmora, pelmora-convert and pelmora-laz, the LAZ
#                          decoder with its codec, the man pages, the tile
#                          scripts and the bash completions.
# Dependencies on libraries are computed by dpkg-shlibdeps from what the
# binaries actually link (libc, libstdc++, shapelib, PROJ, ...), so they
# follow the build rather than a list here. Each package carries the
# copyright file and the changelog in /usr/share/doc/<package>.
set(PELMORA_MAINTAINER "Pelmora Project <maintainers@pelmora.org>"
    CACHE STRING "Maintainer field of the Debian packages")

set(PELMORA_DEB_LIBRARY libostrine-lidar${PROJECT_VERSION_MAJOR})
set(PELMORA_DEB_PACKAGES ${PELMORA_DEB_LIBRARY} libostrine-lidar-dev pelmora)
set(PELMORA_DEB_COMPONENTS library development programs)

# copyright and changelog.gz for each package's documentation directory.
set(PELMORA_CHANGELOG_GZ ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz)
add_custom_command(OUTPUT ${PELMORA_CHANGELOG_GZ}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/debian
  COMMAND sh -c "gzip -9n < \"$1\" > \"$2\"" sh ${CMAKE_CURRENT_LIST_DIR}/debian/changelog ${PELMORA_CHANGELOG_GZ}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/debian/changelog
  COMMENT "Compressing the Debian changelog" VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${PELMORA_CHANGELOG_GZ})
foreach(package component IN ZIP_LISTS PELMORA_DEB_PACKAGES PELMORA_DEB_COMPONENTS)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${PELMORA_CHANGELOG_GZ}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${PELMORA_DEB_COMPONENTS})
set(CPACK_PACKAGE_NAME pelmora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Pelmora Project")
set(CPACK_PACKAGE_CONTACT "${PELMORA_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PELMORA_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://pelmora.org/")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)          # <package>_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)           # Depends: from dpkg-shlibdeps
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)

# The library.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME ${PELMORA_DEB_LIBRARY})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION "LAS lidar record layouts, checks and utilities (shared library)
Ostrine_LiDAR is the C-callable utility library of Pelmora: packed LAS
1.0-1.2 record layouts, file checks, a LAS header update, default headers,
companion-index quicksorts and argument checks.
.
This package holds the shared library.")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)     # a shlibs file for libOstrine_LiDAR.so.0
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# ldconfig runs through dpkg's trigger, not from maintainer scripts. CPack
# writes postinst and postrm scripts calling ldconfig for a package holding a
# library unless the package brings its own; this one needs none, so the
# scripts it names are ones that do not exist, which CPack then leaves out.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/debian/triggers
  ${CMAKE_CURRENT_BINARY_DIR}/debian/no-such-script/postinst
  ${CMAKE_CURRENT_BINARY_DIR}/debian/no-such-script/postrm)

# The development files.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libostrine-lidar-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${PELMORA_DEB_LIBRARY} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "LAS lidar record layouts, checks and utilities (development files)
Ostrine_LiDAR is the C-callable utility library of Pelmora: packed LAS
1.0-1.2 record layouts, file checks, a LAS header update, default headers,
companion-index quicksorts and argument checks.
.
This package holds the header, the link to the shared library, a
pkg-config file (ostrine_lidar) and a CMake package
(find_package(Ostrine_LiDAR)).")

# The programs.
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME pelmora)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION science)
# The LAZ decoder is a Node.js program (18 or later); the tile scripts use
# GNU parallel when it is there, the quick look GDAL's tools.
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_DEPENDS "nodejs (>= 18)")
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_RECOMMENDS "parallel")
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SUGGESTS "gdal-bin")
set(CPACK_COMPONENT_PROGRAMS_DESCRIPTION "LAS and LAZ lidar to ESRI PointZ shapefile converter
pelmora-convert converts ASPRS LAS and LAZ (LASzip-compressed) airborne-lidar
point files of LAS 1.0 to 1.4, point formats 0 to 10, into ESRI shapefiles:
one PointZ shape per point (.shp, .shx), a dBASE table of the point
attributes and extra bytes (.dbf), the coordinate system (.prj) and, on
request, a spatial index (.qix). It can keep only some points (classes,
returns, a box, thinning). LAZ is decoded on every core by the laz-perf
codec it carries. Memory stays bounded whatever the size of the file.
.
Pelmora is the fixed converter of LAS 1.0 to 1.2; pelmora-laz the older
name of pelmora-convert for LAZ files. Scripts convert whole tile sets in
parallel and draw a quick-look picture.")

include(CPack)
