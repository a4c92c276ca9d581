# The Debian package: package_build makes it with cpack from the programs
# already built (into build/.../package-test), the package tests read it
# back with dpkg-deb. Needs dpkg-dev for dpkg-shlibdeps.
set(LUMIGRAB_PACKAGE_TEST_DIR ${PROJECT_BINARY_DIR}/package-test)
add_test(NAME package_build
  COMMAND ${CMAKE_COMMAND} -DCPACK=${CMAKE_CPACK_COMMAND} -DCONFIG=${PROJECT_BINARY_DIR}/CPackConfig.cmake
    -DFOLDER=${LUMIGRAB_PACKAGE_TEST_DIR} -P ${CMAKE_CURRENT_LIST_DIR}/build_package.cmake)
set_tests_properties(package_build PROPERTIES LABELS package FIXTURES_SETUP lumigrab_package TIMEOUT 300)

# Without dpkg-shlibdeps cpack refuses, instead of making a package that
# declares none of its libraries. The tool is hidden in a mount namespace of
# the test's own, which needs root; where the system gives no private mount
# namespace (a chroot, whose root is no mount point), the test is skipped.
find_program(LUMIGRAB_UNSHARE unshare)
execute_process(COMMAND id -u OUTPUT_VARIABLE LUMIGRAB_USER_ID OUTPUT_STRIP_TRAILING_WHITESPACE)
find_program(LUMIGRAB_DPKG_SHLIBDEPS_PATH dpkg-shlibdeps)
if(LUMIGRAB_UNSHARE AND LUMIGRAB_USER_ID STREQUAL "0" AND LUMIGRAB_DPKG_SHLIBDEPS_PATH)
  add_test(NAME package_refused_without_shlibdeps
    COMMAND sh -c "\"$1\" -m true 2>/dev/null || exit 77; exec \"$1\" -m sh -c 'mount --bind /dev/null \"$1\" && exec \"$2\" -G DEB --config \"$3\" -B \"$4\" -D CPACK_CMAKE_GENERATOR=Ninja' sh \"$2\" \"$3\" \"$4\" \"$5\""
      sh ${LUMIGRAB_UNSHARE} ${LUMIGRAB_DPKG_SHLIBDEPS_PATH} ${CMAKE_CPACK_COMMAND}
      ${PROJECT_BINARY_DIR}/CPackConfig.cmake ${LUMIGRAB_PACKAGE_TEST_DIR}-refused)
  set_tests_properties(package_refused_without_shlibdeps PROPERTIES LABELS package
    PASS_REGULAR_EXPRESSION "dpkg-shlibdeps is missing" SKIP_RETURN_CODE 77)
endif()

add_executable(package_test ${CMAKE_CURRENT_LIST_DIR}/package_test.cpp)
target_link_libraries(package_test PRIVATE GTest::gtest GTest::gtest_main)
target_compile_definitions(package_test PRIVATE
  LUMIGRAB_PACKAGE_DIR="${LUMIGRAB_PACKAGE_TEST_DIR}"
  LUMIGRAB_PACKAGE_VERSION="${PROJECT_VERSION}"
  LUMIGRAB_PACKAGE_HOMEPAGE="${PROJECT_HOMEPAGE_URL}")
gtest_discover_tests(package_test DISCOVERY_TIMEOUT 60
  PROPERTIES LABELS package FIXTURES_REQUIRED lumigrab_package)

# The desktop entry and the metainfo as the desktop's own validators see
# them, without a warning.
find_program(LUMIGRAB_APPSTREAMCLI appstreamcli)
if(LUMIGRAB_APPSTREAMCLI)
  add_test(NAME package_metainfo_valid
    COMMAND ${LUMIGRAB_APPSTREAMCLI} validate --no-net
      ${PROJECT_BINARY_DIR}/app/org.example.lumigrab.Lumigrab.metainfo.xml)
  set_tests_properties(package_metainfo_valid PROPERTIES LABELS package)
endif()
find_program(LUMIGRAB_DESKTOP_FILE_VALIDATE desktop-file-validate)
if(LUMIGRAB_DESKTOP_FILE_VALIDATE)
  add_test(NAME package_desktop_entry_valid
    COMMAND ${LUMIGRAB_DESKTOP_FILE_VALIDATE} ${PROJECT_SOURCE_DIR}/app/org.example.lumigrab.Lumigrab.desktop)
  set_tests_properties(package_desktop_entry_valid PROPERTIES LABELS package)
endif()
