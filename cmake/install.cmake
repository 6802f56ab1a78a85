# What `cmake --install` puts under a prefix for a host to build against:
# libmira.so with the Portkit it loads, the headers, the mira command and its
# manual page, a CMake package (find_package(mira) gives mira::mira) and a
# pkg-config file (mira.pc).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Installed programs and libraries find the libraries beside them.
set_target_properties(mira portkit PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(mira_cli PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")

install(TARGETS mira portkit LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS mira_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/mira DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_SOURCE_DIR}/src/cli/mira.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(mira_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/mira)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/miraConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/miraConfig.cmake INSTALL_DESTINATION ${mira_cmake_dir}
                              PATH_VARS CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/miraConfigVersion.cmake COMPATIBILITY SameMajorVersion)
# The way up from the pkg-config folder to the prefix: one step more where the
# library folder is a multiarch one (lib/x86_64-linux-gnu under /usr).
file(RELATIVE_PATH mira_pc_to_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" mira_pc_to_prefix ${mira_pc_to_prefix})
configure_file(${CMAKE_SOURCE_DIR}/cmake/mira.pc.in ${CMAKE_BINARY_DIR}/mira.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/miraConfig.cmake ${CMAKE_BINARY_DIR}/miraConfigVersion.cmake
        DESTINATION ${mira_cmake_dir})
install(FILES ${CMAKE_BINARY_DIR}/mira.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
