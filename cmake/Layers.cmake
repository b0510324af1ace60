# Each layer is one static library made of every .cpp in its folder, so that adding a unit
# needs no edit here.  md_add_layer(NAME DIR DEPS ...)
function(md_add_layer name dir)
  cmake_parse_arguments(L "" "" "DEPS;PLATFORM_LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${L_DEPS} Threads::Threads ${L_PLATFORM_LIBS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${L_DEPS} Threads::Threads ${L_PLATFORM_LIBS})
  endif()
endfunction()

# GoogleTest: the system package natively; built from Debian's googletest sources when
# cross-compiling.
macro(md_find_gtest)
  if(CMAKE_CROSSCOMPILING)
    if(NOT TARGET gtest)
      set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
      set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
      add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    endif()
    set(MD_GTEST_LIBS gtest gmock)
  else()
    find_package(GTest REQUIRED)
    set(MD_GTEST_LIBS GTest::gtest GTest::gmock)
  endif()
  include(GoogleTest)
endmacro()

# One test executable per layer: every tests/unit/<layer>/*.cpp plus the shared main.
function(md_add_unit_tests layer)
  cmake_parse_arguments(T "" "" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/unit/${layer}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(unit_${layer} ${sources})
  target_include_directories(unit_${layer} PRIVATE ${PROJECT_SOURCE_DIR}/tests/unit)
  target_link_libraries(unit_${layer} PRIVATE ${T_LIBS} ${MD_GTEST_LIBS} gtest_main_md)
  # One label, unit-<layer>: a list would not survive the discovery step ("ctest -L unit" is a
  # regular expression and still selects every unit test).
  gtest_discover_tests(unit_${layer} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS unit-${layer})
endfunction()
