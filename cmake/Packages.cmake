# The packages. On Windows, one ZIP file. Elsewhere the Debian packages, one
# per install component (see Install.cmake), made by `cpack -G DEB` in a
# build for the prefix /usr:
#   kerv-tools    the programs and their manual pages
#   libkerv-dev   headers, static library, CMake and pkg-config files
#   python3-kerv  the Python module and its type stub (with -DKERV_PYTHON=ON)
set(CPACK_PACKAGE_NAME kerv)
set(CPACK_PACKAGE_VENDOR "the KERV archive tools authors")
set(CPACK_STRIP_FILES ON)  # the programs and the module; the static library keeps its symbols

if(WIN32)
  # `cpack -G ZIP`: kerv-VERSION-win64.zip, the programs with README.md and LICENSE.
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME kerv-${PROJECT_VERSION}-win64)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENTS_ALL tools)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)  # it unpacks into a folder of its own
  include(CPack)
  return()
endif()

set(CPACK_PACKAGE_CONTACT "KERV archive tools maintainers <maintainers@kerv.example.org>")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${KERV_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE kerv)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${KERV_PACKAGE_tools})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
if(KERV_MOUNT)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "fuse3")  # fusermount3, with which users mount
endif()
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "pack KERV and P-KERV scenarios and their data files into archives
KERV and P-KERV scenarios are Shift_JIS texts whose header lists the data
files (pictures, sounds) a scenario uses. krvmake and pkvmake pack a
scenario and every data file it lists into one archive; krvdiv and pkvdiv
divide an archive back into its files, never overwriting anything. kervls
lists and checks archives of either dialect without extracting them. kerv
does all of this with UTF-8 names, changes an archive's scenario or data
files in place, byte for byte as the packer would make it, and mounts an
archive as a read-only folder.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${KERV_PACKAGE_dev})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEV_DESCRIPTION "scenario library and archive reader of the KERV archive tools
A static C++ library for programs that play or study KERV and P-KERV
scenarios: it parses a scenario's header sections, walks its file lists,
offers the cursor operations a script reader uses on the body, and reads
archives in place (list, check, and read single data files by name from
several threads). It comes with a CMake package (find_package(kerv)) and a
pkg-config file.")

if(KERV_PYTHON)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${KERV_PACKAGE_python})
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  # An extension module works only with the Python version it was built for.
  set(python ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR})
  math(EXPR next_minor "${Python3_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
      "python3 (>= ${python}~), python3 (<< ${Python3_VERSION_MAJOR}.${next_minor})")
  set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python module for reading KERV and P-KERV archives
The module kerv opens an archive of KERV or P-KERV scenarios in place and
gives its dialect, version, waiting time and scenario text, the data files
paired with the names of the scenario's file list, and what is wrong with a
damaged archive. Data files are read whole or in slices by name, without
extracting the archive; reads release the global interpreter lock, so
threads may read in parallel. A type stub is included.")
endif()

# Debian packages install into /usr, and the files of a build hold its
# prefix (the library's folder, the pkg-config file): a build for another
# prefix makes no Debian packages.
set(CPACK_KERV_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/CPackPrefixCheck.cmake)
include(CPack)
