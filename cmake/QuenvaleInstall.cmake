# Installs, in three components: Runtime (the shared library under its
# SONAME), Development (the header, the link, the CMake package and the
# pkg-config file; on Windows the import libraries and the .def) and Tool
# (the host, its man page or, on Windows, its text help).
include(CMakePackageConfigHelpers)

install(TARGETS quenvale EXPORT quenvaleTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/quenvale.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
if(QUENVALE_BUILD_TOOLS)
  install(TARGETS quenvale_host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Tool)
  if(NOT WIN32)
    # Compressed, as man pages are installed; -n keeps the bytes the same run to run.
    add_custom_command(OUTPUT "${QUENVALE_GENERATED}/quenvale.1.gz"
      COMMAND gzip -9n -c "${QUENVALE_GENERATED}/quenvale.1" > "${QUENVALE_GENERATED}/quenvale.1.gz"
      DEPENDS "${QUENVALE_GENERATED}/quenvale.1" VERBATIM)
    add_custom_target(quenvale_man ALL DEPENDS "${QUENVALE_GENERATED}/quenvale.1.gz")
    install(FILES "${QUENVALE_GENERATED}/quenvale.1.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Tool)
  endif()
endif()

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/quenvale)
install(EXPORT quenvaleTargets NAMESPACE quenvale:: DESTINATION ${config_dir} COMPONENT Development)
configure_package_config_file(cmake/quenvaleConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/quenvaleConfig.cmake INSTALL_DESTINATION ${config_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/quenvaleConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quenvaleConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/quenvaleConfigVersion.cmake
  DESTINATION ${config_dir} COMPONENT Development)

# Relative folders stay relative to ${prefix}; absolute ones are kept.
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(QUENVALE_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(QUENVALE_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
# The prefix is found from the file's own folder, so a relocated install
# works; but the system's own (/usr, the Debian packages') is written as it
# is, so that pkg-config knows /usr/include for the system's and prints no
# flag for it.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(QUENVALE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH pc_up "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
  string(REGEX REPLACE "/$" "" pc_up "${pc_up}")
  set(QUENVALE_PC_PREFIX "\${pcfiledir}/${pc_up}")
endif()
configure_file(cmake/quenvale.pc.in ${CMAKE_CURRENT_BINARY_DIR}/quenvale.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quenvale.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT Development)

include(QuenvalePackaging)
