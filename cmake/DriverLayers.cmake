# Each driver layer is an object library that sees its own headers and those
# of the layers it links, and nothing else: a layer's headers are reachable as
# "<layer>/Header.h" only through an include root of the layer's own, so an
# include that points up, or sideways between subsystems, does not build.
set(PCIPLAT_LAYERS "" CACHE INTERNAL "the driver's layers, lowest first")
define_property(GLOBAL PROPERTY PCIPLAT_DRIVER_SOURCES
  BRIEF_DOCS "driver sources" FULL_DOCS "the sources of every driver layer, for the lint checks")

# pciplat_layer(<layer> SOURCES <file>... [BELOW <layer>...])
function(pciplat_layer layer)
  cmake_parse_arguments(LAYER "" "" "SOURCES;BELOW" ${ARGN})
  set(target pciplat_${layer})
  add_library(${target} OBJECT ${LAYER_SOURCES})
  set(root ${CMAKE_BINARY_DIR}/layers/${layer})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${layer} SYMBOLIC)
  target_include_directories(${target} PUBLIC ${root})
  foreach(below IN LISTS LAYER_BELOW)
    target_link_libraries(${target} PUBLIC pciplat_${below})
  endforeach()
  pciplat_driver_warnings(${target})
  if(PCIPLAT_EFI)
    target_compile_options(${target} PRIVATE ${PCIPLAT_IMAGE_COMPILE_OPTIONS}
      -fstack-usage) # per-function frames, from which the image's deepest stack is computed
    pciplat_debug_layer(${layer} SOURCES ${LAYER_SOURCES} BELOW ${LAYER_BELOW})
  else()
    # Host builds hand the driver's decisions to the firmware model.
    target_compile_definitions(${target} PUBLIC PCIPLAT_DECISIONS=1)
    pciplat_layer_header_checks(${layer})
  endif()
  foreach(source IN LISTS LAYER_SOURCES)
    set_property(GLOBAL APPEND PROPERTY PCIPLAT_DRIVER_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/${source})
  endforeach()
  set(PCIPLAT_LAYERS ${PCIPLAT_LAYERS} ${layer} CACHE INTERNAL "")
endfunction()

# Host builds also compile every header of a layer on its own, with only the
# layer's include roots: a header that needs more, or reaches up, fails here
# even when no source of the layer includes it.
function(pciplat_layer_header_checks layer)
  file(GLOB headers RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  set(checks)
  foreach(header IN LISTS headers)
    get_filename_component(name ${header} NAME_WE)
    set(check ${CMAKE_BINARY_DIR}/layers/${layer}-headers/${name}.cpp)
    file(CONFIGURE OUTPUT ${check} CONTENT "#include \"${layer}/${header}\"\n")
    list(APPEND checks ${check})
  endforeach()
  if(checks)
    add_library(pciplat_${layer}_headers OBJECT ${checks})
    target_link_libraries(pciplat_${layer}_headers PRIVATE pciplat_${layer})
    pciplat_driver_warnings(pciplat_${layer}_headers)
    set_property(GLOBAL APPEND PROPERTY PCIPLAT_HEADER_CHECKS pciplat_${layer}_headers)
  endif()
endfunction()

# The debug image's copy of a layer: the same sources with the decision records
# switched on (efi/ writes them to a serial port). Its frames stay out of the
# shipped image's stack figures.
function(pciplat_debug_layer layer)
  cmake_parse_arguments(LAYER "" "" "SOURCES;BELOW" ${ARGN})
  set(target pciplat_${layer}_debug)
  add_library(${target} OBJECT ${LAYER_SOURCES})
  target_include_directories(${target} PUBLIC ${CMAKE_BINARY_DIR}/layers/${layer})
  foreach(below IN LISTS LAYER_BELOW)
    target_link_libraries(${target} PUBLIC pciplat_${below}_debug)
  endforeach()
  pciplat_driver_warnings(${target})
  target_compile_options(${target} PRIVATE ${PCIPLAT_IMAGE_COMPILE_OPTIONS})
  target_compile_definitions(${target} PUBLIC PCIPLAT_DECISIONS=1)
endfunction()
