# tessel_library(NAME DIR [USES lib...] [PACKAGES target...])
#   A static library lib_NAME of the .cpp files of src/DIR, and lib_NAME_api: its usage
#   requirements (the include root that reaches src/DIR as "DIR/...", the
#   include roots of the libraries it uses, the packages its headers need).
#   Libraries use each other through lib_NAME_api only; the engine links every
#   library whole.
# tessel_engine(NAME)
#   The shared library that holds every tessel_library.
# tessel_link_closure(TARGET lib...)
#   Links TARGET statically against the libraries and all they use (for
#   programs built without the engine, such as the fuzz targets).
set_property(GLOBAL PROPERTY TESSEL_LIBRARIES "")

function(tessel_library name dir)
  cmake_parse_arguments(L "" "" "USES;PACKAGES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/${dir}/*.cpp)
  set(root ${CMAKE_BINARY_DIR}/include-roots/${name})
  get_filename_component(parent ${root}/${dir} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  if(NOT EXISTS ${root}/${dir})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/${dir} ${root}/${dir} SYMBOLIC)
  endif()
  add_library(lib_${name}_api INTERFACE)
  target_include_directories(lib_${name}_api INTERFACE ${root})
  foreach(u ${L_USES})
    target_link_libraries(lib_${name}_api INTERFACE lib_${u}_api)
  endforeach()
  target_link_libraries(lib_${name}_api INTERFACE ${L_PACKAGES})
  add_library(lib_${name} STATIC ${sources})
  target_link_libraries(lib_${name} PUBLIC lib_${name}_api)
  set_target_properties(lib_${name} PROPERTIES OUTPUT_NAME tessel_${name} TESSEL_USES "${L_USES}")
  set_property(GLOBAL APPEND PROPERTY TESSEL_LIBRARIES ${name})
endfunction()

function(tessel_engine name)
  get_property(libs GLOBAL PROPERTY TESSEL_LIBRARIES)
  # The engine's own code is all in its libraries.
  file(WRITE ${CMAKE_BINARY_DIR}/${name}.cpp "// The libraries of src/ linked whole.\n")
  add_library(${name} SHARED ${CMAKE_BINARY_DIR}/${name}.cpp)
  set_target_properties(${name} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib LINKER_LANGUAGE CXX)
  set(targets "")
  foreach(l ${libs})
    list(APPEND targets lib_${l})
    target_link_libraries(${name} PUBLIC lib_${l}_api)
  endforeach()
  target_link_libraries(${name} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${targets}>")
endfunction()

# Post-order walk: a library after everything it uses.
function(_tessel_closure seen_var order_var)
  set(seen ${${seen_var}})
  set(order ${${order_var}})
  foreach(l ${ARGN})
    if(NOT l IN_LIST seen)
      list(APPEND seen ${l})
      get_target_property(uses lib_${l} TESSEL_USES)
      if(uses)
        _tessel_closure(seen order ${uses})
      endif()
      list(APPEND order lib_${l})
    endif()
  endforeach()
  set(${seen_var} ${seen} PARENT_SCOPE)
  set(${order_var} ${order} PARENT_SCOPE)
endfunction()

function(tessel_link_closure target)
  set(seen "")
  set(order "")
  _tessel_closure(seen order ${ARGN})
  # Static linking wants a library before the ones it uses.
  list(REVERSE order)
  target_link_libraries(${target} PRIVATE ${order})
endfunction()
