# ov_add_test(name SOURCES a_test.cc ... LIBS lib ...): one GoogleTest executable registered with
# CTest. In the Windows build it runs under Wine through scripts/wine-run, inside the "wine"
# fixture (a private prefix and a headless X server started once for the whole run).
if(NOT KESTROVA_TESTS)
  function(ov_add_test)
  endfunction()
  return()
endif()

enable_testing()

if(WIN32)
  set(OV_WINE_STATE ${CMAKE_BINARY_DIR}/wine)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/scripts/wine-run ${OV_WINE_STATE})
  add_test(NAME wine_start COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-session start ${OV_WINE_STATE})
  add_test(NAME wine_stop COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-session stop ${OV_WINE_STATE})
  set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
  set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
endif()

function(ov_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} gmock gtest gtest_main ov_warnings)
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(WIN32)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine RESOURCE_LOCK wine_display)
  endif()
endfunction()
