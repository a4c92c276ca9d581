# Read by cpack before it packs. Without dpkg-shlibdeps CPack still makes a
# package, silently declaring none of the libraries the programs link: one
# that installs on a fresh system and then does not start. Refuse instead.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_DEBIAN_PACKAGE_SHLIBDEPS)
  cmake_policy(PUSH)
  cmake_policy(SET CMP0109 NEW) # a program must be executable to count
  find_program(LUMIGRAB_DPKG_SHLIBDEPS dpkg-shlibdeps)
  cmake_policy(POP)
  if(NOT LUMIGRAB_DPKG_SHLIBDEPS)
    message(FATAL_ERROR "dpkg-shlibdeps is missing (apt-get install dpkg-dev): "
      "without it the package would not declare the libraries it needs")
  endif()
endif()
