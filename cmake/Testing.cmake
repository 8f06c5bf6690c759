# Test files follow one rule everywhere: they sit in a folder named tests/
# and end in _test.cpp (unit and kernel tests), _peer.cpp (checks by tools
# nobody here wrote) or _system.cpp (separate processes). Every such file
# must belong to a test program; bw_check_test_files() fails the
# configuration when one does not, so that no file drops out silently.

# bw_add_test(NAME LABEL SOURCES sources... LIBS libs...)
function(bw_add_test name label)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  # Parameterised tests carry names in words of their own; the printed
  # parameter would only repeat them, or dump bytes.
  gtest_discover_tests(${name} PROPERTIES LABELS ${label} DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES)
  foreach(source ${T_SOURCES})
    get_filename_component(path ${source} ABSOLUTE)
    set_property(GLOBAL APPEND PROPERTY BW_TEST_SOURCES ${path})
  endforeach()
endfunction()

# The test files of FOLDERS (relative to the current source folder) whose
# names end in SUFFIX, e.g. bw_test_files(out _test.cpp tests fat/tests).
function(bw_test_files out suffix)
  set(files)
  foreach(folder ${ARGN})
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*${suffix})
    list(APPEND files ${found})
  endforeach()
  set(${out} ${files} PARENT_SCOPE)
endfunction()

function(bw_check_test_files)
  get_property(registered GLOBAL PROPERTY BW_TEST_SOURCES)
  file(GLOB_RECURSE all CONFIGURE_DEPENDS LIST_DIRECTORIES false
       ${PROJECT_SOURCE_DIR}/*_test.cpp ${PROJECT_SOURCE_DIR}/*_peer.cpp ${PROJECT_SOURCE_DIR}/*_system.cpp)
  foreach(file ${all})
    file(RELATIVE_PATH relative ${PROJECT_SOURCE_DIR} ${file})
    if(relative MATCHES "^(build[^/]*|\\.git)/")
      continue()
    endif()
    if(NOT relative MATCHES "(^|/)tests/[^/]+$")
      message(FATAL_ERROR "${relative}: test files live in a tests/ folder")
    endif()
    list(FIND registered ${file} index)
    if(index EQUAL -1)
      message(FATAL_ERROR "${relative} belongs to no test program")
    endif()
  endforeach()
endfunction()
