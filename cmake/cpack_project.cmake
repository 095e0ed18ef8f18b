# cpack_project.cmake - read by cpack once per generator. Gives the .deb the compressed
# manual and changelog that Debian expects (see packaging.cmake).
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_CUSTOM_INSTALL_VARIABLES "ZOBRET_DEB_LAYOUT=ON")
endif()
