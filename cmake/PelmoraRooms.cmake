# The rooms of src/: one folder a concern, one static library each, linked
# only downward.  The order, from the floor up:
#
#   base  io  las  lidar  laz  select  projection  core  shapefile  dbf
#   outputs  console  frontends
#
# pelmora_room(NAME SOURCES ... [ROOMS room...] [LIBS lib...]) makes
# pelmora_NAME from src/NAME, linked to the rooms it names.  Two things hold
# the layers:
#   - its link check, layer_check_NAME, links every object of the room with
#     only those rooms: a call into a room above is an undefined reference;
#   - pelmora_check_room_includes(), at configure time, refuses a source
#     file that includes a header of a room its room does not name.
include_guard(GLOBAL)

set(PELMORA_ROOMS "" CACHE INTERNAL "")

# A room marked WHOLE is linked whole wherever it is linked: the exported
# library, whose every function must be there whether it is called or not.
function(pelmora_room name)
  cmake_parse_arguments(R "WHOLE" "" "SOURCES;ROOMS;LIBS" ${ARGN})
  set(target pelmora_${name})
  add_library(${target} STATIC ${R_SOURCES})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  set_property(GLOBAL PROPERTY PELMORA_ROOM_${name}_WHOLE ${R_WHOLE})
  set(below "")
  foreach(room IN LISTS R_ROOMS)
    get_property(whole GLOBAL PROPERTY PELMORA_ROOM_${room}_WHOLE)
    if(whole)
      list(APPEND below "$<LINK_LIBRARY:WHOLE_ARCHIVE,pelmora_${room}>")
    else()
      list(APPEND below pelmora_${room})
    endif()
  endforeach()
  target_link_libraries(${target} PUBLIC ${below} ${R_LIBS} PRIVATE pelmora_warnings)
  set_property(GLOBAL PROPERTY PELMORA_ROOM_${name}_BELOW ${R_ROOMS})
  set(PELMORA_ROOMS ${PELMORA_ROOMS} ${name} CACHE INTERNAL "")

  add_executable(layer_check_${name} ${PROJECT_SOURCE_DIR}/cmake/layer_check.c)
  target_link_libraries(layer_check_${name} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${target}>")
  set_target_properties(layer_check_${name} PROPERTIES LINKER_LANGUAGE CXX)
endfunction()

# Every #include "ROOM/..." of src/NAME must name NAME itself or a room
# NAME links.  (The library's own header, Ostrine_LiDAR.h, is included by
# name: it belongs to lidar.)
function(pelmora_check_room_includes)
  foreach(name IN LISTS PELMORA_ROOMS)
    get_property(below GLOBAL PROPERTY PELMORA_ROOM_${name}_BELOW)
    set(allowed ${name} ${below})
    file(GLOB files ${PROJECT_SOURCE_DIR}/src/${name}/*.h ${PROJECT_SOURCE_DIR}/src/${name}/*.cpp
                    ${PROJECT_SOURCE_DIR}/src/${name}/*.in)
    foreach(file IN LISTS files)
      file(STRINGS ${file} includes REGEX "^#include \"")
      foreach(line IN LISTS includes)
        if(line MATCHES "^#include \"([a-z_]+)/")
          set(room ${CMAKE_MATCH_1})
        elseif(line MATCHES "^#include \"Ostrine_LiDAR.h\"")
          set(room lidar)
        else()
          continue()
        endif()
        if(NOT room IN_LIST allowed)
          message(FATAL_ERROR "${file} includes a header of ${room}, a room that ${name} does not link: ${line}")
        endif()
      endforeach()
    endforeach()
  endforeach()
endfunction()
