# zeph_add_gtest(NAME SOURCES src... [LIBS lib...] [DEPENDS target...] [TSAN] [LABELS label...])
#
# DEPENDS names targets the tests run (commands, plugins, test credentials) so that they
# are built before the tests.
#
# A GoogleTest executable whose tests ctest discovers one by one (each runs in a process
# of its own). In the ThreadSanitizer build only tests marked TSAN are built and
# registered; the umbrella target `zeph_tsan_tests` builds them all.
include(GoogleTest)
find_package(GTest REQUIRED)

if(NOT TARGET zeph_tsan_tests)
  add_custom_target(zeph_tsan_tests)
endif()

function(zeph_add_gtest name)
  cmake_parse_arguments(ARG "TSAN" "TIMEOUT" "SOURCES;LIBS;LABELS;DEPENDS" ${ARGN})
  # The target always exists, so that callers may add properties to it; in the
  # ThreadSanitizer tree a test not marked TSAN is neither built by default nor registered.
  set(skip_in_this_tree OFF)
  if(ZEPH_TSAN AND NOT ARG_TSAN)
    set(skip_in_this_tree ON)
    add_executable(${name} EXCLUDE_FROM_ALL ${ARG_SOURCES})
  else()
    add_executable(${name} ${ARG_SOURCES})
  endif()
  zeph_warnings(${name})
  if(ARG_DEPENDS)
    add_dependencies(${name} ${ARG_DEPENDS})
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    ZEPH_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    ZEPH_BINARY_DIR="${CMAKE_BINARY_DIR}"
    ZEPH_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
    ZEPH_LIB_DIR="${CMAKE_BINARY_DIR}/lib"
    ZEPH_TEST_CREDENTIALS_DIR="${CMAKE_BINARY_DIR}/test-credentials")
  if(skip_in_this_tree)
    return()
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set(labels ${ARG_LABELS})
  if(ARG_TSAN)
    list(APPEND labels tsan)
    add_dependencies(zeph_tsan_tests ${name})
  endif()
  # Suppressions for leaks and races that are not ours, also for a plain `ctest` run.
  if(ZEPH_TSAN)
    set(sanitizer_env "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${CMAKE_SOURCE_DIR}/tests/tsan.supp")
  elseif(ZEPH_SANITIZE MATCHES "address")
    set(sanitizer_env "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0")
  else()
    set(sanitizer_env "ZEPH_SANITIZE=none")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT "${sanitizer_env}"
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  # Labels are set once the tests are discovered: passed through gtest_discover_tests, a
  # second label would be read as a property name and lost.
  if(labels)
    set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
    file(WRITE ${labels_file}
         "foreach(test IN LISTS ${name}_TESTS)\n"
         "  set_tests_properties(\"\${test}\" PROPERTIES LABELS \"${labels}\")\n"
         "endforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
  endif()
endfunction()
