# lumo_area(<area> [STANDS_ON <area>...] [LIBS <target>...])
#
# Makes the object library lumokit_<area with "/" as "_"> from the units of
# src/lumokit/<area>/. An area sees its own headers and those of the areas it
# stands on, directly or through them, and nothing else: its include path is
# a view of src/ in the build folder that holds links to exactly those
# folders, so an include that runs against the layers fails to compile.
# LIBS are the outside libraries whose headers the area's units include.
# Areas are declared bottom-up; every area joins the umbrella library.
function(lumo_area area)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "STANDS_ON;LIBS")
  string(REPLACE "/" "_" id "${area}")
  set(target lumokit_${id})
  set(root ${PROJECT_SOURCE_DIR}/src/lumokit)
  if(NOT IS_DIRECTORY ${root}/${area})
    message(FATAL_ERROR "lumo_area: there is no folder src/lumokit/${area}")
  endif()

  set(visible ${area})
  foreach(below IN LISTS arg_STANDS_ON)
    get_property(known GLOBAL PROPERTY LUMO_AREA_SEES_${below} SET)
    if(NOT known)
      message(FATAL_ERROR "lumo_area: ${area} stands on ${below}, which is not declared before it")
    endif()
    get_property(seen GLOBAL PROPERTY LUMO_AREA_SEES_${below})
    list(APPEND visible ${seen})
  endforeach()
  list(REMOVE_DUPLICATES visible)
  set_property(GLOBAL PROPERTY LUMO_AREA_SEES_${area} ${visible})

  set(view ${PROJECT_BINARY_DIR}/lumokit-views/${id})
  file(REMOVE_RECURSE ${view})
  foreach(seen IN LISTS visible)
    get_filename_component(parent ${view}/lumokit/${seen} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${root}/${seen} ${view}/lumokit/${seen} SYMBOLIC)
  endforeach()

  file(GLOB sources CONFIGURE_DEPENDS ${root}/${area}/*.cpp)
  file(GLOB headers CONFIGURE_DEPENDS ${root}/${area}/*.h)
  add_library(${target} OBJECT ${sources} ${headers})
  target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${view}>)
  target_compile_features(${target} PUBLIC cxx_std_20)
  foreach(below IN LISTS arg_STANDS_ON)
    string(REPLACE "/" "_" below_id "${below}")
    target_link_libraries(${target} PUBLIC lumokit_${below_id})
  endforeach()
  if(arg_LIBS)
    target_link_libraries(${target} PUBLIC ${arg_LIBS})
  endif()
  set_property(GLOBAL APPEND PROPERTY LUMO_AREA_TARGETS ${target})
endfunction()
