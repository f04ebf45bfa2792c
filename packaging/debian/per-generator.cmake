# cpack reads this once for each generator. The archives take the default
# install, the program's own layout; the .deb takes the Debian layout alone,
# rooted at /.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_PELMAR_BUILD_DIR};pelmar;debian;/")
  set(CPACK_PACKAGING_INSTALL_PREFIX "/")
endif()
