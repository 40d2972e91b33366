# pelmora-laz, the LAZ companion (laz/): a Node.js program that decompresses
# with the npm package laz-perf and converts with Pelmora.
#
# Nothing is downloaded here: scripts/install-deps.sh runs `npm ci` in laz/,
# which puts the locked laz-perf into laz/node_modules. Without it the
# companion is still built and installed, and says at run time that its codec
# is missing.
set(PELMORA_LAZ_SOURCE ${PROJECT_SOURCE_DIR}/laz)
set(PELMORA_LAZ_CODEC ${PELMORA_LAZ_SOURCE}/node_modules/laz-perf)

# One version for the whole project: laz/package.json's must be this one.
file(READ ${PELMORA_LAZ_SOURCE}/package.json PELMORA_LAZ_PACKAGE)
string(JSON PELMORA_LAZ_VERSION GET "${PELMORA_LAZ_PACKAGE}" version)
if(NOT PELMORA_LAZ_VERSION STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "laz/package.json has version ${PELMORA_LAZ_VERSION}, the project ${PROJECT_VERSION}")
endif()
file(READ ${PELMORA_LAZ_SOURCE}/package-lock.json PELMORA_LAZ_LOCK)
string(JSON LAZPERF_LOCKED_VERSION GET "${PELMORA_LAZ_LOCK}" packages node_modules/laz-perf version)
set(PELMORA_LAZ_HAS_CODEC OFF)
if(EXISTS ${PELMORA_LAZ_CODEC}/package.json)
  file(READ ${PELMORA_LAZ_CODEC}/package.json LAZPERF_PACKAGE)
  string(JSON LAZPERF_VERSION GET "${LAZPERF_PACKAGE}" version)
  if(LAZPERF_VERSION STREQUAL LAZPERF_LOCKED_VERSION)
    set(PELMORA_LAZ_HAS_CODEC ON)
  else()
    message(WARNING "laz/node_modules holds laz-perf ${LAZPERF_VERSION}, the lock ${LAZPERF_LOCKED_VERSION}: "
                    "run scripts/install-deps.sh")
  endif()
else()
  message(WARNING "The LAZ codec laz-perf is not installed in laz/node_modules: run scripts/install-deps.sh. "
                  "pelmora-laz is built without it and refuses to run.")
endif()

# The build tree's command: build/pelmora-laz, beside build/Pelmora, which it
# runs; the sources and their node_modules are used where they are.
file(CREATE_LINK ${PELMORA_LAZ_SOURCE}/pelmora-laz.js ${CMAKE_BINARY_DIR}/pelmora-laz SYMBOLIC)

# Installed: the program with its codec in <datadir>/pelmora/laz, and
# <bindir>/pelmora-laz a relative link to it (Node resolves the link, so the
# program finds its modules beside it, and Pelmora beside the link).
set(PELMORA_LAZ_DIR ${CMAKE_INSTALL_DATADIR}/pelmora/laz)
install(PROGRAMS ${PELMORA_LAZ_SOURCE}/pelmora-laz.js DESTINATION ${PELMORA_LAZ_DIR} COMPONENT programs)
install(FILES ${PELMORA_LAZ_SOURCE}/laz_file.js ${PELMORA_LAZ_SOURCE}/chunk_table.js ${PELMORA_LAZ_SOURCE}/package.json
  DESTINATION ${PELMORA_LAZ_DIR} COMPONENT programs)
if(PELMORA_LAZ_HAS_CODEC)
  # Only what Node loads: the package file and the Node build (JavaScript
  # glue and the WebAssembly module).
  install(FILES ${PELMORA_LAZ_CODEC}/package.json DESTINATION ${PELMORA_LAZ_DIR}/node_modules/laz-perf
    COMPONENT programs)
  install(FILES ${PELMORA_LAZ_CODEC}/lib/node/index.js ${PELMORA_LAZ_CODEC}/lib/node/laz-perf.js
                ${PELMORA_LAZ_CODEC}/lib/node/laz-perf.wasm
    DESTINATION ${PELMORA_LAZ_DIR}/node_modules/laz-perf/lib/node COMPONENT programs)
endif()
cmake_path(ABSOLUTE_PATH PELMORA_LAZ_DIR BASE_DIRECTORY ${CMAKE_INSTALL_PREFIX} OUTPUT_VARIABLE PELMORA_LAZ_FULL_DIR)
file(RELATIVE_PATH PELMORA_LAZ_LINK ${CMAKE_INSTALL_FULL_BINDIR} ${PELMORA_LAZ_FULL_DIR}/pelmora-laz.js)
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/install-links)
file(CREATE_LINK ${PELMORA_LAZ_LINK} ${CMAKE_CURRENT_BINARY_DIR}/install-links/pelmora-laz SYMBOLIC)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/install-links/pelmora-laz DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT programs)

# Completion of options and *.laz names in bash.
install(FILES ${PELMORA_LAZ_SOURCE}/pelmora-laz.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME pelmora-laz COMPONENT programs)
