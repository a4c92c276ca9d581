# Integration tests against a private INN2 on 127.0.0.1 (and ::1). The server is
# started (and the test articles posted) by a set-up fixture and stopped by a
# clean-up fixture; the tests get its port and folder through the
# environment. Each build folder gets its own port and server folder so that
# several builds can test side by side.
#
# INN2 runs as user news and must read its folder; a build tree under a
# private home (/root is mode 700) is closed to news, so the server folder
# lives in the shared temporary folder, named after the build folder.
string(MD5 lumigrab_inn_hash "${PROJECT_BINARY_DIR}")
string(SUBSTRING "${lumigrab_inn_hash}" 0 4 lumigrab_inn_hex)
math(EXPR lumigrab_inn_default_port "20000 + 0x${lumigrab_inn_hex} % 20000")
set(LUMIGRAB_INN_PORT ${lumigrab_inn_default_port} CACHE STRING "Port of the INN2 test server")
# The TLS server with logins listens on 127.0.0.2, so the same number is free.
set(LUMIGRAB_INN_TLS_PORT ${LUMIGRAB_INN_PORT} CACHE STRING
  "Port of the INN2 test server's TLS reader server on 127.0.0.2")
string(SUBSTRING "${lumigrab_inn_hash}" 0 12 lumigrab_inn_name)
set(LUMIGRAB_INN_DIR "/var/tmp/lumigrab-inn-${lumigrab_inn_name}" CACHE PATH
  "Folder of the INN2 test server; user news must be able to reach it")
set(lumigrab_inn_dir "${LUMIGRAB_INN_DIR}")
set(lumigrab_inn_scripts "${CMAKE_CURRENT_LIST_DIR}/inn")

add_test(NAME inn_server_start
  COMMAND "${lumigrab_inn_scripts}/fixture.sh" setup "${lumigrab_inn_dir}" ${LUMIGRAB_INN_PORT}
    ${LUMIGRAB_INN_TLS_PORT})
add_test(NAME inn_server_stop
  COMMAND "${lumigrab_inn_scripts}/fixture.sh" cleanup "${lumigrab_inn_dir}")
set_tests_properties(inn_server_start PROPERTIES FIXTURES_SETUP inn LABELS integration TIMEOUT 120)
set_tests_properties(inn_server_stop PROPERTIES FIXTURES_CLEANUP inn LABELS integration TIMEOUT 60)

# A second instance, for the test of refused connections only: its innd takes
# two connections from one host within 20 seconds and refuses the others.
math(EXPR lumigrab_inn_limited_default_port "${LUMIGRAB_INN_PORT} + 1")
set(LUMIGRAB_INN_LIMITED_PORT ${lumigrab_inn_limited_default_port} CACHE STRING
  "Port of the INN2 test server that limits connections per host")
set(lumigrab_inn_limited_dir "${LUMIGRAB_INN_DIR}-limited")
add_test(NAME inn_limited_server_start
  COMMAND "${lumigrab_inn_scripts}/fixture.sh" setup-limited "${lumigrab_inn_limited_dir}"
    ${LUMIGRAB_INN_LIMITED_PORT} 2 20)
add_test(NAME inn_limited_server_stop
  COMMAND "${lumigrab_inn_scripts}/fixture.sh" cleanup "${lumigrab_inn_limited_dir}")
set_tests_properties(inn_limited_server_start PROPERTIES FIXTURES_SETUP inn_limited LABELS integration
  TIMEOUT 120)
set_tests_properties(inn_limited_server_stop PROPERTIES FIXTURES_CLEANUP inn_limited LABELS integration
  TIMEOUT 60)
set(lumigrab_inn_limited_test PoolHarvestTest.ConnectionsBeyondTheServersLimitAreRefused)

# The integration programs' tests are discovered at test time; this script
# runs after the discovery scripts and gives them the fixture.
set(lumigrab_integration_targets nntp_integration_test nntps_integration_test nntp_ipv6_integration_test
  fetchpool_integration_test
  window_integration_test)
set(lumigrab_inn_env "LUMIGRAB_NNTP_PORT=${LUMIGRAB_INN_PORT};LUMIGRAB_NNTPS_PORT=${LUMIGRAB_INN_TLS_PORT};LUMIGRAB_INN_DIR=${lumigrab_inn_dir}")
set(lumigrab_inn_include "${CMAKE_CURRENT_BINARY_DIR}/inn_integration_properties.cmake")
set(lumigrab_inn_script "")
foreach(target ${lumigrab_integration_targets})
  if(TARGET ${target})
    if(TARGET lumigrab-harvest)
      add_dependencies(${target} lumigrab-harvest)
    endif()
    string(APPEND lumigrab_inn_script
      "if(${target}_TESTS)\n"
      "  set_tests_properties(\${${target}_TESTS} PROPERTIES FIXTURES_REQUIRED inn LABELS integration\n"
      "    ENVIRONMENT \"${lumigrab_inn_env}\" TIMEOUT 300)\n"
      "endif()\n")
  endif()
endforeach()
string(APPEND lumigrab_inn_script
  "list(FIND fetchpool_integration_test_TESTS ${lumigrab_inn_limited_test} lumigrab_limited_index)\n"
  "if(NOT lumigrab_limited_index EQUAL -1)\n"
  "  set_tests_properties(${lumigrab_inn_limited_test} PROPERTIES FIXTURES_REQUIRED \"inn;inn_limited\"\n"
  "    ENVIRONMENT \"${lumigrab_inn_env};LUMIGRAB_LIMITED_NNTP_PORT=${LUMIGRAB_INN_LIMITED_PORT};"
  "LUMIGRAB_LIMITED_INN_DIR=${lumigrab_inn_limited_dir}\")\n"
  "endif()\n")
file(WRITE "${lumigrab_inn_include}" "${lumigrab_inn_script}")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${lumigrab_inn_include}")

# The demo news server of scripts/run.sh, harvested by the command run.sh
# uses; it starts a server of its own on a free port.
if(TARGET demo_server_test)
  target_link_libraries(demo_server_test PRIVATE Qt6::Gui)
  if(TARGET lumigrab-harvest)
    add_dependencies(demo_server_test lumigrab-harvest)
  endif()
  set(lumigrab_demo_include "${CMAKE_CURRENT_BINARY_DIR}/demo_server_properties.cmake")
  file(WRITE "${lumigrab_demo_include}"
    "if(demo_server_test_TESTS)\n"
    "  set_tests_properties(\${demo_server_test_TESTS} PROPERTIES LABELS integration TIMEOUT 300)\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${lumigrab_demo_include}")
endif()

# The hostile server tests run lumigrab-harvest against a scripted server.
if(TARGET hostile_server_test AND TARGET lumigrab-harvest)
  add_dependencies(hostile_server_test lumigrab-harvest)
endif()
# Its fill server speaks TLS too.
if(TARGET hostile_server_test)
  target_link_libraries(hostile_server_test PRIVATE OpenSSL::SSL OpenSSL::Crypto)
endif()

# The compression tests' servers speak TLS and deflate of their own.
if(TARGET nntpsession_test)
  target_link_libraries(nntpsession_test PRIVATE OpenSSL::SSL OpenSSL::Crypto ZLIB::ZLIB)
endif()
