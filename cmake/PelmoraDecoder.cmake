# The LAZ decoder (decoder/): laz-decoder.js, which pelmora-convert runs with Node.js
# to decode the chunks of a LAZ file, and its codec, the npm package
# laz-perf.
#
# Nothing is downloaded here: scripts/install-deps.sh runs `npm ci` in
# decoder/, which puts the locked laz-perf into decoder/node_modules.
# Without it everything still builds and installs, and pelmora-convert says at run
# time, when it meets a LAZ file, that the codec is missing.
#
# pelmora-convert finds the script relative to its own executable:
#   <exe dir>/../share/pelmora/decoder/laz-decoder.js   installed
#   <exe dir>/decoder/laz-decoder.js                    the build tree
include_guard(GLOBAL)
include(GNUInstallDirs)

set(PELMORA_DECODER_SOURCE ${PROJECT_SOURCE_DIR}/decoder)
set(PELMORA_DECODER_CODEC ${PELMORA_DECODER_SOURCE}/node_modules/laz-perf)

# One version for the whole project: decoder/package.json's must be this one.
file(READ ${PELMORA_DECODER_SOURCE}/package.json PELMORA_DECODER_PACKAGE)
string(JSON PELMORA_DECODER_VERSION GET "${PELMORA_DECODER_PACKAGE}" version)
if(NOT PELMORA_DECODER_VERSION STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "decoder/package.json has version ${PELMORA_DECODER_VERSION}, the project ${PROJECT_VERSION}")
endif()
file(READ ${PELMORA_DECODER_SOURCE}/package-lock.json PELMORA_DECODER_LOCK)
string(JSON PELMORA_DECODER_CODEC_LOCKED GET "${PELMORA_DECODER_LOCK}" packages node_modules/laz-perf version)
set(PELMORA_DECODER_HAS_CODEC OFF)
if(EXISTS ${PELMORA_DECODER_CODEC}/package.json)
  file(READ ${PELMORA_DECODER_CODEC}/package.json PELMORA_DECODER_CODEC_PACKAGE)
  string(JSON PELMORA_DECODER_CODEC_VERSION GET "${PELMORA_DECODER_CODEC_PACKAGE}" version)
  if(PELMORA_DECODER_CODEC_VERSION STREQUAL PELMORA_DECODER_CODEC_LOCKED)
    set(PELMORA_DECODER_HAS_CODEC ON)
  else()
    message(WARNING "decoder/node_modules holds laz-perf ${PELMORA_DECODER_CODEC_VERSION}, the lock "
                    "${PELMORA_DECODER_CODEC_LOCKED}: run scripts/install-deps.sh")
  endif()
else()
  message(WARNING "The LAZ codec laz-perf is not installed in decoder/node_modules: run scripts/install-deps.sh. "
                  "pelmora-convert is built without it and refuses LAZ files.")
endif()

# The build tree's decoder: build/decoder, a link to the sources, beside
# build/pelmora-convert (Node.js resolves the link and finds node_modules there).
file(CREATE_LINK ${PELMORA_DECODER_SOURCE} ${CMAKE_BINARY_DIR}/decoder SYMBOLIC)

# Installed: <datadir>/pelmora/decoder, with only what Node.js loads of the
# codec (its package file, the Node build's JavaScript and WebAssembly).
set(PELMORA_DECODER_DIR ${CMAKE_INSTALL_DATADIR}/pelmora/decoder)
# The script starts with "#!/usr/bin/env node": it is installed executable,
# though pelmora-convert runs it with the node it finds on the PATH.
install(PROGRAMS ${PELMORA_DECODER_SOURCE}/laz-decoder.js DESTINATION ${PELMORA_DECODER_DIR} COMPONENT programs)
# wire.json: the wire's constants, which the script loads at run time.
install(FILES ${PELMORA_DECODER_SOURCE}/package.json ${PELMORA_DECODER_SOURCE}/wire.json
  DESTINATION ${PELMORA_DECODER_DIR} COMPONENT programs)
if(PELMORA_DECODER_HAS_CODEC)
  install(FILES ${PELMORA_DECODER_CODEC}/package.json DESTINATION ${PELMORA_DECODER_DIR}/node_modules/laz-perf
    COMPONENT programs)
  install(FILES ${PELMORA_DECODER_CODEC}/lib/node/index.js ${PELMORA_DECODER_CODEC}/lib/node/laz-perf.js
                ${PELMORA_DECODER_CODEC}/lib/node/laz-perf.wasm
    DESTINATION ${PELMORA_DECODER_DIR}/node_modules/laz-perf/lib/node COMPONENT programs)
endif()

# pelmora-convert looks in <bindir>/../share/pelmora/decoder: say so if the chosen
# directories put the decoder elsewhere.
cmake_path(ABSOLUTE_PATH PELMORA_DECODER_DIR BASE_DIRECTORY ${CMAKE_INSTALL_PREFIX}
  OUTPUT_VARIABLE PELMORA_DECODER_FULL_DIR)
file(RELATIVE_PATH PELMORA_DECODER_FROM_BIN ${CMAKE_INSTALL_FULL_BINDIR} ${PELMORA_DECODER_FULL_DIR})
if(NOT PELMORA_DECODER_FROM_BIN STREQUAL "../share/pelmora/decoder")
  message(WARNING "The LAZ decoder is installed into ${PELMORA_DECODER_FULL_DIR}, but an installed pelmora-convert "
                  "looks for it in <bindir>/../share/pelmora/decoder")
endif()
