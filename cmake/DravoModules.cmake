# Each module folder compiles every source it holds, so adding a file never needs a
# build-file edit. Libraries form the chain platform -> json -> dravolib -> mqttdrv.
function(dravo_sources out)
  set(all)
  foreach(dir IN LISTS ARGN)
    file(GLOB found CONFIGURE_DEPENDS
      ${PROJECT_SOURCE_DIR}/${dir}/*.cpp ${PROJECT_SOURCE_DIR}/${dir}/*.c)
    list(APPEND all ${found})
  endforeach()
  set(${out} ${all} PARENT_SCOPE)
endfunction()

# A static library that may hold no sources yet (an empty folder still yields a target).
function(dravo_library name)
  cmake_parse_arguments(ARG "" "" "DIRS;DEPS" ${ARGN})
  dravo_sources(srcs ${ARG_DIRS})
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# One GoogleTest executable per folder under tests/unit/, registered as one CTest test.
function(dravo_unit_test folder)
  dravo_sources(srcs tests/unit/${folder})
  if(NOT srcs)
    return()
  endif()
  # A test links only the library its module belongs to, so a module's tests build
  # while unrelated modules are still incomplete.
  if(folder STREQUAL "platform")
    set(lib dravo_platform)
  elseif(folder STREQUAL "valcore")
    set(lib valcore)
  elseif(folder STREQUAL "json")
    set(lib dravo_json)
  elseif(folder MATCHES "^(boundary|core|threading|transport)$")
    set(lib dravolib)
  else()
    set(lib dravo_all)
  endif()
  set(target unit_${folder})
  add_executable(${target} ${srcs})
  target_link_libraries(${target} PRIVATE ${lib} dravo_testsupport GTest::gmock GTest::gtest_main)
  add_test(NAME ${target} COMMAND ${target})
  set_property(GLOBAL APPEND PROPERTY DRAVO_UNIT_TARGETS ${target})
  set_tests_properties(${target} PROPERTIES LABELS unit TIMEOUT 300
    ENVIRONMENT "DRAVO_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
endfunction()
