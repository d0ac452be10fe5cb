# GoogleTest, cross-built from the Debian sources.
set(KTB_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${KTB_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Every folder tests/unit/<area> is one test program, run once per CTest test:
# one Wine start for the whole area instead of one per test case.
file(GLOB KTB_FAKE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fakes/*.cpp)
file(GLOB KTB_UNIT_AREAS LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/unit/*)
foreach(dir ${KTB_UNIT_AREAS})
  if(IS_DIRECTORY ${dir})
    get_filename_component(area ${dir} NAME)
    file(GLOB area_sources CONFIGURE_DEPENDS ${dir}/*.cpp)
    if(area_sources)
      add_executable(test_${area} ${area_sources} ${KTB_FAKE_SOURCES})
      target_include_directories(test_${area} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
      target_link_libraries(test_${area} PRIVATE ktbcore gtest gtest_main)
      add_test(NAME unit_${area} COMMAND test_${area})
      set_tests_properties(unit_${area} PROPERTIES TIMEOUT 300 RESOURCE_LOCK wineprefix
        ENVIRONMENT "KTB_SOURCE_DIR=${CMAKE_SOURCE_DIR};KTB_BUILD_DIR=${CMAKE_BINARY_DIR}")
    endif()
  endif()
endforeach()

# End-to-end tests: every tests/e2e/test_*.py runs the real programs under Wine and Xvfb.
find_program(KTB_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT KTB_PYTHON)
  find_program(KTB_PYTHON NAMES python3 REQUIRED)
endif()
file(GLOB KTB_E2E_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/test_*.py)
foreach(script ${KTB_E2E_TESTS})
  get_filename_component(name ${script} NAME_WE)
  add_test(NAME e2e_${name} COMMAND ${CMAKE_SOURCE_DIR}/tools/winerun.sh ${KTB_PYTHON} ${script} ${CMAKE_BINARY_DIR})
  set_tests_properties(e2e_${name} PROPERTIES TIMEOUT 600 RESOURCE_LOCK wineprefix
    ENVIRONMENT "KTB_SOURCE_DIR=${CMAKE_SOURCE_DIR};KTB_BUILD_DIR=${CMAKE_BINARY_DIR}")
endforeach()
