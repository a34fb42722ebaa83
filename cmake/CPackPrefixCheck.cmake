# Run by cpack for each generator: Debian packages only from a build for /usr.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_KERV_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "Debian packages install into /usr, but this build is for the prefix "
                      "${CPACK_KERV_INSTALL_PREFIX}: configure it with -DCMAKE_INSTALL_PREFIX=/usr")
endif()
