# Installation and the two Debian packages.
#
# Component "tools" (package kerv-tools): the programs and their manual
# pages. Component "dev" (package libkerv-dev): the headers under
# include/kerv, the static library, and the CMake and pkg-config files that
# put include/kerv on a consumer's include path. With the prefix /usr the
# library goes into the multiarch folder (lib/x86_64-linux-gnu), where
# Debian's own -dev packages put theirs: build the packages with
#   cmake -S . -B build-deb -DCMAKE_INSTALL_PREFIX=/usr && cmake --build build-deb
#   (cd build-deb && cpack -G DEB)
include(CMakePackageConfigHelpers)
add_subdirectory(man)

install(TARGETS krvmake krvdiv pkvmake pkvdiv kervls RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(FILES ${KERV_MAN_PAGES_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)

# What the public headers include, and nothing else.
set(KERV_PUBLIC_HEADERS
  archive/Assert.h archive/FileBuffer.h archive/KervInputStream.h archive/KervOutputStream.h
  scenario/ConsoleText.h scenario/Dialect.h scenario/KervScenario.h scenario/PKervScenario.h scenario/Scenario.h
  reader/ArchiveReader.h)
foreach(header ${KERV_PUBLIC_HEADERS})
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kerv/${folder} COMPONENT dev)
endforeach()
install(TARGETS kerv EXPORT kervTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)

set(KERV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kerv)
install(EXPORT kervTargets NAMESPACE kerv:: DESTINATION ${KERV_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/kervConfig.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/kervConfig.cmake
                              INSTALL_DESTINATION ${KERV_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kervConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kervConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/kervConfigVersion.cmake
        DESTINATION ${KERV_CMAKE_DIR} COMPONENT dev)

# The pkg-config file finds the prefix from its own place, so that the
# installed tree may be moved.
file(RELATIVE_PATH KERV_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" KERV_PC_TO_PREFIX "${KERV_PC_TO_PREFIX}")
configure_file(cmake/kerv.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kerv.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kerv.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# Each package's copyright file and changelog (compressed, as Debian ships it).
set(changelog_gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
                   COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${changelog_gz}
                   DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(changelog ALL DEPENDS ${changelog_gz})
foreach(component tools dev)
  set(package kerv-tools)
  if(component STREQUAL dev)
    set(package libkerv-dev)
  endif()
  install(FILES packaging/copyright ${changelog_gz} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          COMPONENT ${component})
endforeach()

set(CPACK_PACKAGE_NAME kerv)
set(CPACK_PACKAGE_VENDOR "the KERV archive tools authors")
set(CPACK_PACKAGE_CONTACT "KERV archive tools maintainers <maintainers@kerv.example.org>")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tools dev)
set(CPACK_STRIP_FILES ON)  # the programs; the static library keeps its symbols
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE kerv)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kerv-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "pack KERV and P-KERV scenarios and their data files into archives
KERV and P-KERV scenarios are Shift_JIS texts whose header lists the data
files (pictures, sounds) a scenario uses. krvmake and pkvmake pack a
scenario and every data file it lists into one archive; krvdiv and pkvdiv
divide an archive back into its files, never overwriting anything. kervls
lists and checks archives of either dialect without extracting them.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkerv-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEV_DESCRIPTION "scenario library and archive reader of the KERV archive tools
A static C++ library for programs that play or study KERV and P-KERV
scenarios: it parses a scenario's header sections, walks its file lists,
offers the cursor operations a script reader uses on the body, and reads
archives in place (list, check, and read single data files by name from
several threads). It comes with a CMake package (find_package(kerv)) and a
pkg-config file.")
include(CPack)
