# The window end to end: the real program's window on a virtual X display
# against run.sh's demo news server. Not one of the offscreen widget tests:
# CTest runs it under xvfb-run on the X platform.
add_executable(window_end_to_end_test ${CMAKE_CURRENT_LIST_DIR}/window_end_to_end.cpp)
set_target_properties(window_end_to_end_test PROPERTIES AUTOMOC ON)
target_link_libraries(window_end_to_end_test PRIVATE lumigrab_app_testing GTest::gtest GTest::gtest_main)
target_compile_definitions(window_end_to_end_test PRIVATE
  LUMIGRAB_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
  LUMIGRAB_BINARY_DIR="${PROJECT_BINARY_DIR}")
find_program(LUMIGRAB_XVFB_RUN xvfb-run)
if(LUMIGRAB_XVFB_RUN)
  add_test(NAME window_end_to_end
    COMMAND ${LUMIGRAB_XVFB_RUN} -a -s "-screen 0 1280x1024x24" $<TARGET_FILE:window_end_to_end_test>)
  set_tests_properties(window_end_to_end PROPERTIES
    LABELS "integration;app" TIMEOUT 300
    ENVIRONMENT "QT_QPA_PLATFORM=xcb;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/x11_leaks.supp")
endif()

# The window's secure connections meet an OpenSSL server of the test's own.
if(TARGET nntpmain_test)
  target_link_libraries(nntpmain_test PRIVATE OpenSSL::SSL OpenSSL::Crypto)
endif()
