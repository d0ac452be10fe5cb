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
# The XA codec tests also encode with the codec library itself (xadec/), and load
# xadec.dll and run xaenc.exe from the build directory.
if(TARGET test_xadec AND TARGET xacodec)
  target_link_libraries(test_xadec PRIVATE xacodec)
  add_dependencies(test_xadec xadec xaenc)
endif()

# Programs used by the end-to-end tests, one per tests/e2e/programs/*.cpp:
#   wintool.cpp and *_tool.cpp: console programs linked with user32 only;
#   *_probe.cpp: WIN32 programs linked with ktbcore and the viewer's resources, except the
#   standalone probes listed below, which use the Win32 libraries only.
set(KTB_E2E_STANDALONE_PROBES hello_probe)
file(GLOB KTB_E2E_PROGRAMS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/programs/*.cpp)
foreach(src ${KTB_E2E_PROGRAMS})
  get_filename_component(name ${src} NAME_WE)
  if(name STREQUAL "wintool" OR name MATCHES "_tool$")
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE user32)
  elseif(name MATCHES "_probe$")
    if(name IN_LIST KTB_E2E_STANDALONE_PROBES)
      add_executable(${name} WIN32 ${src})
      target_link_libraries(${name} PRIVATE user32 gdi32 ddraw dxguid)
    else()
      set(probe_sources ${src})
      if(EXISTS ${CMAKE_SOURCE_DIR}/res/KTBViewer.rc)
        list(APPEND probe_sources ${CMAKE_SOURCE_DIR}/res/KTBViewer.rc)
      endif()
      add_executable(${name} WIN32 ${probe_sources})
      target_link_libraries(${name} PRIVATE ktbcore)
    endif()
  else()
    message(WARNING "tests/e2e/programs/${name}.cpp: name it wintool, *_tool or *_probe")
    continue()
  endif()
  list(APPEND KTB_E2E_PROGRAM_TARGETS ${name})
endforeach()
# `cmake --build <dir> --target e2e_programs` builds them all.
add_custom_target(e2e_programs)
if(KTB_E2E_PROGRAM_TARGETS)
  add_dependencies(e2e_programs ${KTB_E2E_PROGRAM_TARGETS})
endif()

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

# The reliability program ktbfuzz and its CTest checks (tests/fuzz/CMakeLists.txt).
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/fuzz/CMakeLists.txt)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/fuzz ${CMAKE_BINARY_DIR}/fuzz)
endif()
