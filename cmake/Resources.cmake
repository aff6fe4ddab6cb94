# The string and message tables of resources/: generated into a C++ table that
# the common layer carries on every platform, and on Windows also into the real
# resources of the executable (VELMORA_RESOURCE_FILES: message table 1 through
# windmc, the string table and the version resource, for windres). Included by
# the top CMakeLists after the layers are defined.
set(VELMORA_RESOURCE_INPUTS ${CMAKE_SOURCE_DIR}/resources/strings.txt ${CMAKE_SOURCE_DIR}/resources/messages.txt)
set(VELMORA_GENERATED_RESOURCES ${CMAKE_BINARY_DIR}/generated/resources)
file(MAKE_DIRECTORY ${VELMORA_GENERATED_RESOURCES})

set(velmora_resource_outputs ${VELMORA_GENERATED_RESOURCES}/ResourceTables.cpp)
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
          -DOUTPUT_DIR=${VELMORA_GENERATED_RESOURCES} -DWINDOWS_RESOURCES=${WIN32}
          -DWINDMC=${velmora_windmc} -P ${CMAKE_SOURCE_DIR}/cmake/ResourceTables.cmake
  DEPENDS ${VELMORA_RESOURCE_INPUTS} ${CMAKE_SOURCE_DIR}/cmake/ResourceTables.cmake
  COMMENT "Generating the string and message tables"
  VERBATIM)

target_sources(velmora_common PRIVATE ${VELMORA_GENERATED_RESOURCES}/ResourceTables.cpp)
if(WIN32)
  # The version resource carries the project version into the file's properties.
  configure_file(${CMAKE_SOURCE_DIR}/resources/VersionInfo.rc.in
                 ${VELMORA_GENERATED_RESOURCES}/VersionInfo.rc @ONLY)
  set(VELMORA_RESOURCE_FILES ${VELMORA_GENERATED_RESOURCES}/VelmoraResources.rc
                             ${VELMORA_GENERATED_RESOURCES}/VersionInfo.rc)
else()
  set(VELMORA_RESOURCE_FILES "")
endif()
