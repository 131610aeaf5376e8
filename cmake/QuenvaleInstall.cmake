# Installs the library, its header, the host with its man page, a CMake
# package (quenvale::quenvale) and a pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS quenvale EXPORT quenvaleTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/quenvale.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(QUENVALE_BUILD_TOOLS)
  install(TARGETS quenvale_host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES doc/quenvale.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/quenvale)
install(EXPORT quenvaleTargets NAMESPACE quenvale:: DESTINATION ${config_dir})
configure_package_config_file(cmake/quenvaleConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/quenvaleConfig.cmake INSTALL_DESTINATION ${config_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/quenvaleConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quenvaleConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/quenvaleConfigVersion.cmake
  DESTINATION ${config_dir})

# Relative folders stay relative to ${prefix}; absolute ones are kept.
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(QUENVALE_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(QUENVALE_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
# The prefix is found from the file's own folder, so a relocated install works.
file(RELATIVE_PATH QUENVALE_PC_UP "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
string(REGEX REPLACE "/$" "" QUENVALE_PC_UP "${QUENVALE_PC_UP}")
configure_file(cmake/quenvale.pc.in ${CMAKE_CURRENT_BINARY_DIR}/quenvale.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quenvale.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
