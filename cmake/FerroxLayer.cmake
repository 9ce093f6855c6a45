# The includes across the layers, checked before anything of the program compiles, and
# again whenever one of its files changes (cmake/CheckLayers.cmake): one root holds every
# layer's headers, so only this keeps a face from including an engine header.
file(GLOB_RECURSE ferrox_program_files CONFIGURE_DEPENDS
     LIST_DIRECTORIES false
     ${PROJECT_SOURCE_DIR}/platform/* ${PROJECT_SOURCE_DIR}/diag/* ${PROJECT_SOURCE_DIR}/listctl/*
     ${PROJECT_SOURCE_DIR}/queue/* ${PROJECT_SOURCE_DIR}/persist/* ${PROJECT_SOURCE_DIR}/engine/*
     ${PROJECT_SOURCE_DIR}/core/* ${PROJECT_SOURCE_DIR}/ui/* ${PROJECT_SOURCE_DIR}/app/*
     ${PROJECT_SOURCE_DIR}/runner/* ${PROJECT_SOURCE_DIR}/desktop/*)
list(FILTER ferrox_program_files INCLUDE REGEX "\\.(h|cpp)$")
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/layers.checked
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -P
          ${PROJECT_SOURCE_DIR}/cmake/CheckLayers.cmake
  COMMAND ${CMAKE_COMMAND} -E touch ${PROJECT_BINARY_DIR}/layers.checked
  DEPENDS ${ferrox_program_files} ${PROJECT_SOURCE_DIR}/cmake/CheckLayers.cmake
  COMMENT "Checking the includes across the layers"
  VERBATIM)
add_custom_target(ferrox_layers DEPENDS ${PROJECT_BINARY_DIR}/layers.checked)

# One static library per layer, made of every .cpp in its folder. The layers below are
# linked privately: what a layer offers is its own headers, not those of the layers it uses.
function(ferrox_layer name)
  cmake_parse_arguments(L "" "" "DEPENDS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    # A layer still being written: headers only.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${L_DEPENDS} Threads::Threads)
    add_dependencies(${name} ferrox_layers)
    return()
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${L_DEPENDS} Threads::Threads)
  add_dependencies(${name} ferrox_layers)
endfunction()
