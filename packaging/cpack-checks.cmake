# Read by cpack before each generator runs. Without dpkg-shlibdeps (package
# dpkg-dev) the DEB generator only warns and makes a package that depends
# on nothing, one that installs where it cannot run: refused here instead.
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(TARVEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(NOT TARVEL_DPKG_SHLIBDEPS)
    message(FATAL_ERROR "the Debian package needs dpkg-shlibdeps (Debian package dpkg-dev) "
      "to find its dependencies")
  endif()
endif()
