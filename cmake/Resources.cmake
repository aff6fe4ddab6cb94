# The string and message tables of resources/: generated into a C++ table and
# the header of their named ids (common/ResourceIds.h), which the common layer
# carries on every platform, and on Windows also into the real resources of
# the executable (VELMORA_RESOURCE_FILES: message table 1 through windmc, the
# string table and the version resource, for windres). Included by the top
# CMakeLists after the layers are defined.
set(VELMORA_RESOURCE_INPUTS ${CMAKE_SOURCE_DIR}/resources/strings.txt ${CMAKE_SOURCE_DIR}/resources/messages.txt)
set(VELMORA_GENERATED_RESOURCES ${CMAKE_BINARY_DIR}/generated/resources)
# The include root of the common layer's generated headers (it holds common/ only).
set(velmora_generated_include ${CMAKE_BINARY_DIR}/generated/include)
set(velmora_resource_ids ${velmora_generated_include}/common/ResourceIds.h)
file(MAKE_DIRECTORY ${VELMORA_GENERATED_RESOURCES} ${velmora_generated_include}/common)

set(velmora_resource_outputs ${VELMORA_GENERATED_RESOURCES}/ResourceTables.cpp ${velmora_resource_ids})
set(velmora_windmc "")
if(WIN32)
  enable_language(RC)
  find_program(VELMORA_WINDMC NAMES x86_64-w64-mingw32-windmc windmc REQUIRED)
  set(velmora_windmc ${VELMORA_WINDMC})
  list(APPEND velmora_resource_outputs ${VELMORA_GENERATED_RESOURCES}/VelmoraResources.rc)
endif()

add_custom_command(
  OUTPUT ${velmora_resource_outputs}
  COMMAND ${CMAKE_COMMAND} -DSTRINGS_FILE=${CMAKE_SOURCE_DIR}/resources/strings.txt
          -DMESSAGES_FILE=${CMAKE_SOURCE_DIR}/resources/messages.txt
          -DOUTPUT_DIR=${VELMORA_GENERATED_RESOURCES} -DIDS_HEADER=${velmora_resource_ids}
          -DWINDOWS_RESOURCES=${WIN32}
          -DWINDMC=${velmora_windmc} -P ${CMAKE_SOURCE_DIR}/cmake/ResourceTables.cmake
  DEPENDS ${VELMORA_RESOURCE_INPUTS} ${CMAKE_SOURCE_DIR}/cmake/ResourceTables.cmake
  COMMENT "Generating the string and message tables"
  VERBATIM)

target_sources(velmora_common PRIVATE ${VELMORA_GENERATED_RESOURCES}/ResourceTables.cpp)
target_include_directories(velmora_common PUBLIC ${velmora_generated_include})
# Every layer includes the header: they all compile after it is made.
add_custom_target(velmora_resource_ids DEPENDS ${velmora_resource_ids})
add_dependencies(velmora_common velmora_resource_ids)
if(WIN32)
  # The version resource carries the project version into the file's properties.
  configure_file(${CMAKE_SOURCE_DIR}/resources/VersionInfo.rc.in
                 ${VELMORA_GENERATED_RESOURCES}/VersionInfo.rc @ONLY)
  set(VELMORA_RESOURCE_FILES ${VELMORA_GENERATED_RESOURCES}/VelmoraResources.rc
                             ${VELMORA_GENERATED_RESOURCES}/VersionInfo.rc)
else()
  set(VELMORA_RESOURCE_FILES "")
endif()
