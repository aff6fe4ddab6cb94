# One static library per folder of src/, linked only downwards:
#
#   common <- platform <- threading <- server, service <- app
#
# A layer sees the headers of its own folder and of the layers below it, and
# nothing else: its include root is a folder of the build tree that holds a
# link to its own source folder only, and the roots of the layers below come
# with the libraries it links. An include of a higher layer does not build.

set(VELMORA_LAYER_INCLUDES ${CMAKE_BINARY_DIR}/layer-include)

# velmora_layer(<folder> [SOURCES <extra files>] [DEPENDS <lower folders>])
function(velmora_layer folder)
  cmake_parse_arguments(PARSE_ARGV 1 layer "" "" "SOURCES;DEPENDS")
  set(root ${VELMORA_LAYER_INCLUDES}/${folder})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/${folder} ${root}/${folder} SYMBOLIC)
  add_library(velmora_${folder} STATIC ${layer_SOURCES})
  target_include_directories(velmora_${folder} PUBLIC ${root})
  foreach(lower ${layer_DEPENDS})
    target_link_libraries(velmora_${folder} PUBLIC velmora_${lower})
  endforeach()
endfunction()

# The portable sources of a folder (not its sub-folders).
function(velmora_folder_sources out folder)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/${folder}/*.cpp)
  set(${out} ${sources} PARENT_SCOPE)
endfunction()

velmora_folder_sources(common_sources common)
velmora_layer(common SOURCES ${common_sources})

# The platform layer: its contracts, the parts written once for both
# backends, and the backend of this build (POSIX with its systemd part, or
# Win32). The program's start-up (ProgramEntry.cpp) belongs to the executable.
file(GLOB platform_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/portable/*.cpp)
file(GLOB_RECURSE backend_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/${VELMORA_PLATFORM_DIR}/*.cpp)
list(FILTER backend_sources EXCLUDE REGEX ".*/ProgramEntry\\.cpp$")
velmora_layer(platform SOURCES ${platform_sources} ${backend_sources} DEPENDS common)
find_package(Threads REQUIRED)
target_link_libraries(velmora_platform PUBLIC Threads::Threads)
if(WIN32)
  target_link_libraries(velmora_platform PUBLIC ws2_32 shlwapi advapi32 user32 ole32 shell32 kernel32)
endif()

velmora_folder_sources(threading_sources threading)
velmora_layer(threading SOURCES ${threading_sources} DEPENDS platform common)
velmora_folder_sources(server_sources server)
velmora_layer(server SOURCES ${server_sources} DEPENDS threading platform common)
velmora_folder_sources(service_sources service)
velmora_layer(service SOURCES ${service_sources} DEPENDS threading platform common)

# The program's entry function (Main.cpp) belongs to the executable.
velmora_folder_sources(app_sources app)
list(FILTER app_sources EXCLUDE REGEX ".*/src/app/Main\\.cpp$")
velmora_layer(app SOURCES ${app_sources} DEPENDS server service threading platform common)
