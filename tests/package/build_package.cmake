# Makes the Debian package afresh in FOLDER from the programs already built:
#   cmake -DCPACK=... -DCONFIG=.../CPackConfig.cmake -DFOLDER=... -P build_package.cmake
# Under Makefiles cpack first runs the preinstall step, a whole "make all",
# which has no place inside a test run (it would relink test programs while
# others run). Naming a generator without that step packs what is built.
file(REMOVE_RECURSE ${FOLDER})
execute_process(COMMAND ${CPACK} -G DEB --config ${CONFIG} -B ${FOLDER} -D CPACK_CMAKE_GENERATOR=Ninja
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cpack failed (${result})")
endif()
