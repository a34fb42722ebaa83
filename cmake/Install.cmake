# Installation, by component (each becomes one Debian package, see
# Packages.cmake).
#
# Component "tools" (kerv-tools): the programs, their manual pages, the
# bash completion of kerv, and the file types for the desktop.
# Component "dev" (libkerv-dev): the headers under include/kerv, the static
# library, and the CMake and pkg-config files that put include/kerv on a
# consumer's include path. With the prefix /usr the library goes into the
# multiarch folder (lib/x86_64-linux-gnu), where Debian's own -dev packages
# put theirs. Component "python" (python3-kerv) is installed by python/.
#
# On Windows the programs go into the prefix itself, beside README.md and
# LICENSE, as one folder a user unpacks and runs from; the library goes
# into lib/ and include/ as elsewhere.
include(CMakePackageConfigHelpers)
add_subdirectory(man)

if(WIN32)
  install(TARGETS krvmake krvdiv pkvmake pkvdiv kervls kerv_command RUNTIME DESTINATION . COMPONENT tools)
  install(FILES README.md LICENSE DESTINATION . COMPONENT tools)
else()
  install(TARGETS krvmake krvdiv pkvmake pkvdiv kervls kerv_command RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  install(FILES ${KERV_MAN_PAGES_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  install(FILES packaging/kerv.bash-completion DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
          RENAME kerv COMPONENT tools)
  install(FILES packaging/kerv.xml DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/mime/packages COMPONENT tools)
  if(KERV_PAGES_BUILT)
    install(FILES ${KERV_PAGE_DIR}/web/kerv.html ${KERV_PAGE_DIR}/web/kerv-patcher.html
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/kerv COMPONENT tools)
  endif()
endif()

# The public headers, and what they include (but nothing the library keeps to itself).
set(KERV_PUBLIC_HEADERS
  archive/Assert.h archive/FileBuffer.h archive/FileIdentity.h archive/FileName.h archive/KervInputStream.h archive/KervOutputStream.h archive/System.h archive/SystemFile.h archive/SystemFolder.h
  scenario/ConsoleText.h scenario/Cp932.h scenario/Dialect.h scenario/KervScenario.h scenario/NativeName.h scenario/PKervScenario.h scenario/Problem.h scenario/Scenario.h scenario/Utf8.h
  reader/ArchiveIndex.h reader/ArchiveReader.h reader/PackPlan.h reader/Piece.h)
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

if(WIN32)
  return()
endif()

# Each package's copyright file and changelog (compressed, as Debian ships it).
set(changelog_gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
                   COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${changelog_gz}
                   DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(changelog ALL DEPENDS ${changelog_gz})
set(KERV_PACKAGE_tools kerv-tools)
set(KERV_PACKAGE_dev libkerv-dev)
set(KERV_PACKAGE_python python3-kerv)
set(KERV_COMPONENTS tools dev)
if(KERV_PYTHON)
  list(APPEND KERV_COMPONENTS python)
endif()
foreach(component ${KERV_COMPONENTS})
  set(package ${KERV_PACKAGE_${component}})
  install(FILES packaging/copyright ${changelog_gz} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          COMPONENT ${component})
endforeach()
