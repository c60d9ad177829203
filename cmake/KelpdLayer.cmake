# kelpd_layer_includes(NAME DEPS... OUT): makes the include folder of layer
# NAME and sets OUT to it. The folder holds one link per layer that NAME may
# use (itself and, transitively, the layers it links), each pointing at that
# layer's source folder, so "#include "smtp/..."" from a layer below smtp does
# not compile: an upward include is an error, not only a link failure.
function(kelpd_layer_includes name)
  list(POP_BACK ARGN out)
  set(closure ${name})
  foreach(dep ${ARGN})
    if(dep MATCHES "^kelpd_(.+)$")
      get_property(below GLOBAL PROPERTY kelpd_layers_${CMAKE_MATCH_1})
      list(APPEND closure ${CMAKE_MATCH_1} ${below})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES closure)
  set_property(GLOBAL PROPERTY kelpd_layers_${name} ${closure})
  set(dir ${PROJECT_BINARY_DIR}/layer-include/${name})
  file(REMOVE_RECURSE ${dir})
  file(MAKE_DIRECTORY ${dir})
  foreach(layer ${closure})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${layer} ${dir}/${layer} SYMBOLIC)
  endforeach()
  set(${out} ${dir} PARENT_SCOPE)
endfunction()

# kelpd_layer(NAME DEPS ...): builds the library kelpd_NAME from every *.cpp of
# the calling folder except *_test.cpp, and, when tests are on, the unit test
# binary NAME_tests from the *_test.cpp files (label "unit").
function(kelpd_layer name)
  cmake_parse_arguments(L "" "" "DEPS;LIBS;TEST_LIBS" ${ARGN})
  kelpd_layer_includes(${name} ${L_DEPS} include_dir)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  if(tests)
    list(REMOVE_ITEM srcs ${tests})
  endif()
  if(srcs)
    add_library(kelpd_${name} STATIC ${srcs})
    target_include_directories(kelpd_${name} PUBLIC ${include_dir})
    target_link_libraries(kelpd_${name} PUBLIC ${L_DEPS} ${L_LIBS} Threads::Threads)
  else()
    add_library(kelpd_${name} INTERFACE)
    target_include_directories(kelpd_${name} INTERFACE ${include_dir})
    target_link_libraries(kelpd_${name} INTERFACE ${L_DEPS} ${L_LIBS})
  endif()
  if(KELPD_BUILD_TESTS AND tests)
    add_executable(${name}_tests ${tests})
    target_link_libraries(${name}_tests PRIVATE kelpd_${name} kelpd_testsupport ${L_TEST_LIBS}
                          GTest::gtest GTest::gmock GTest::gtest_main)
    target_compile_definitions(${name}_tests PRIVATE
      KELPD_SOURCE_DIR="${PROJECT_SOURCE_DIR}" KELPD_BINARY_DIR="${PROJECT_BINARY_DIR}")
    gtest_discover_tests(${name}_tests PROPERTIES LABELS unit DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
