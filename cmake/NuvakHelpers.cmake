# nuvak_add_gtest(NAME SOURCES src... LIBS lib... [NETNS])
# Builds a GoogleTest program and registers it with CTest. With NETNS the
# program runs inside private IPC, network and mount namespaces (see
# scripts/netns-run.sh), so it may use the installation's fixed keys, ports and
# database directory without touching the host; where those namespaces cannot
# be made (a user without user namespaces), the test is reported as skipped.
function(nuvak_add_gtest name)
  cmake_parse_arguments(ARG "NETNS" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  if(ARG_NETNS)
    add_test(NAME ${name}
             COMMAND ${PROJECT_SOURCE_DIR}/scripts/netns-run.sh $<TARGET_FILE:${name}>)
    set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
endfunction()

# nuvak_add_netns_test(NAME COMMAND cmd args...)
# Registers any command (an end-to-end script) to run in private namespaces.
function(nuvak_add_netns_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "COMMAND" ${ARGN})
  add_test(NAME ${name} COMMAND ${PROJECT_SOURCE_DIR}/scripts/netns-run.sh ${ARG_COMMAND})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} SKIP_RETURN_CODE 77)
endfunction()
