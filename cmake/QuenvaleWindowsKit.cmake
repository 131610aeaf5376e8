# The Windows kit, one ZIP an architecture: the DLL, an import library for
# MSVC's linker (quenvale.lib, made from the .def by llvm-dlltool) beside
# mingw's libquenvale.dll.a, the .def, the header, the host with its text
# help, and the licence.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(machine i386:x86-64)
  set(arch x64)
else()
  set(machine i386)  # cdecl: the import library names the symbol _Quenvale, as MSVC expects
  set(arch x86)
endif()

find_program(QUENVALE_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14)
if(QUENVALE_DLLTOOL)
  add_custom_command(OUTPUT "${CMAKE_BINARY_DIR}/quenvale.lib"
    COMMAND "${QUENVALE_DLLTOOL}" -m ${machine} -d "${CMAKE_CURRENT_SOURCE_DIR}/cmake/quenvale.def"
            -l "${CMAKE_BINARY_DIR}/quenvale.lib"
    DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/cmake/quenvale.def" VERBATIM)
  add_custom_target(quenvale_msvc_lib ALL DEPENDS "${CMAKE_BINARY_DIR}/quenvale.lib")
  install(FILES "${CMAKE_BINARY_DIR}/quenvale.lib" DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
else()
  message(STATUS "llvm-dlltool not found: the Windows kit has no quenvale.lib (Debian: llvm)")
endif()
install(FILES cmake/quenvale.def DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
install(FILES LICENSE DESTINATION . RENAME LICENSE.txt COMPONENT Runtime)

# The man page as plain text with Windows line ends, for the host's users.
find_program(QUENVALE_GROFF groff)
if(QUENVALE_BUILD_TOOLS AND QUENVALE_GROFF)
  add_custom_command(OUTPUT "${QUENVALE_GENERATED}/quenvale.txt"
    COMMAND "${QUENVALE_GROFF}" -man -Tascii -P-cbou "${QUENVALE_GENERATED}/quenvale.1"
            > "${QUENVALE_GENERATED}/quenvale.unix.txt"
    COMMAND sed "s/$/\\r/" "${QUENVALE_GENERATED}/quenvale.unix.txt" > "${QUENVALE_GENERATED}/quenvale.txt"
    DEPENDS "${QUENVALE_GENERATED}/quenvale.1" VERBATIM)
  add_custom_target(quenvale_help_text ALL DEPENDS "${QUENVALE_GENERATED}/quenvale.txt")
  install(FILES "${QUENVALE_GENERATED}/quenvale.txt" DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Tool)
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME quenvale-${PROJECT_VERSION}-windows-${arch})
set(CPACK_COMPONENTS_ALL Runtime Development Tool)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
