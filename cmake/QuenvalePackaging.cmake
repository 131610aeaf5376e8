# Packages made by CPack from a release build: on Linux three Debian
# packages (libquenvale1, libquenvale-dev, quenvale) and, where the Python
# module is built, python3-quenvale, on Windows one ZIP kit
# per architecture. The Debian files each package carries (copyright,
# changelog) are installed only by the deb preset.
option(QUENVALE_DEBIAN_DOCS "Install each Debian package's copyright and changelog files" OFF)

set(CPACK_PACKAGE_NAME quenvale)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the Quenvale authors")
set(CPACK_PACKAGE_CONTACT "the Quenvale authors <authors@quenvale.invalid>")
set(CPACK_RESOURCE_FILE_LICENSE "${CMAKE_CURRENT_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages")

if(WIN32)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "flattens the colours of pictures")
  include(QuenvaleWindowsKit)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL Runtime Development Tool)
  if(QUENVALE_HAVE_PYTHON)
    list(APPEND CPACK_COMPONENTS_ALL Python)
  endif()
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(runtime libquenvale${PROJECT_VERSION_MAJOR})
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${runtime})
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  # Each package's description is its component's: the synopsis, then lines
  # that CPack indents by one space (it indents lines already indented once
  # more, which shows them as verbatim text). It prepends a summary of the
  # whole unless the summary is its own default.
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
  # shlibs, so that packages linking the library depend on it, and the
  # ldconfig trigger. Maintainer scripts of our own, which call no ldconfig,
  # keep CPack from writing its own that do; every package has a postrm, so
  # that it can be purged by name after its removal.
  set(scripts "${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian")
  file(WRITE "${QUENVALE_GENERATED}/shlibs" "libquenvale ${PROJECT_VERSION_MAJOR} ${runtime} (>= ${PROJECT_VERSION})\n")
  file(WRITE "${QUENVALE_GENERATED}/triggers" "activate-noawait ldconfig\n")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
      "${QUENVALE_GENERATED}/shlibs;${QUENVALE_GENERATED}/triggers;${scripts}/postinst;${scripts}/postrm")
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_CONTROL_EXTRA "${scripts}/postrm")
  set(CPACK_DEBIAN_TOOL_PACKAGE_CONTROL_EXTRA "${scripts}/postrm")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA "${scripts}/postrm")
  foreach(component RUNTIME DEVELOPMENT TOOL PYTHON)
    set(CPACK_DEBIAN_${component}_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  endforeach()
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libquenvale-dev)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${runtime} (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_TOOL_PACKAGE_NAME quenvale)
  set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION graphics)
  # The module is built for one Python's ABI: that Python, and numpy.
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-quenvale)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  string(REGEX MATCH "^[0-9]+\\.[0-9]+" python_abi "${Python3_VERSION}")
  math(EXPR python_next "${Python3_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
      "python3 (>= ${python_abi}), python3 (<< ${Python3_VERSION_MAJOR}.${python_next}), python3-numpy")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-pil, python3-distributed")
  set(CPACK_COMPONENT_PYTHON_DESCRIPTION "flattens the colours of pictures - Python 3 module
The quenvale module flattens the colours of numpy arrays and Pillow images
in memory, or runs one of seven per-pixel filters on them, with the GIL
released; and runs the quenvale tool's own call on BMP, PNG, JPEG and WebP
files, for a loop or a Dask cluster.")
  set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "library that flattens the colours of BMP files
Quenvale reads a BMP of any standard encoding, reduces it to flat colours
(first fit, a tolerance of 20 a channel) and writes a BMP that carries
every byte of the input but its pixel values. This package holds the
shared library.")
  set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "library that flattens the colours of BMP files - development files
Quenvale reads a BMP of any standard encoding, reduces it to flat colours
and writes a BMP that carries every byte of the input but its pixel
values. This package holds the header, the CMake package and the
pkg-config file.")
  set(CPACK_COMPONENT_TOOL_DESCRIPTION "flattens the colours of BMP, PNG, JPEG and WebP pictures
quenvale flattens the colours of pictures, or runs one of seven per-pixel
filters on them: BMP of every standard encoding, PNG, JPEG and WebP in;
BMP, the smallest lossless PNG and lossless WebP out. It takes a number of
colours, writes the palette for GIMP, Inkscape and Krita, and one mask per
colour for cutters and potrace.")

  if(QUENVALE_DEBIAN_DOCS)
    # The licence in Debian's machine-readable copyright format.
    file(READ "${CMAKE_CURRENT_SOURCE_DIR}/LICENSE" licence)
    string(REGEX REPLACE "^MIT License\n\n[^\n]*\n\n" "" licence "${licence}")
    string(REGEX REPLACE "\n+$" "" licence "${licence}")
    string(REPLACE "\n\n" "\n.\n" licence "${licence}")
    string(REPLACE "\n" "\n " licence "${licence}")
    file(WRITE "${QUENVALE_GENERATED}/copyright"
      "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
      "Upstream-Name: quenvale\n\nFiles: *\nCopyright: 2026 the Quenvale authors\nLicense: Expat\n ${licence}\n")
    set(date "Wed, 09 Dec 2026 00:00:00 +0000")  # this release's
    file(WRITE "${QUENVALE_GENERATED}/changelog"
      "quenvale (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
      "  * Release ${PROJECT_VERSION}.\n\n -- ${CPACK_PACKAGE_CONTACT}  ${date}\n")
    add_custom_command(OUTPUT "${QUENVALE_GENERATED}/changelog.gz"
      COMMAND gzip -9n -c "${QUENVALE_GENERATED}/changelog" > "${QUENVALE_GENERATED}/changelog.gz"
      DEPENDS "${QUENVALE_GENERATED}/changelog" VERBATIM)
    add_custom_target(quenvale_changelog ALL DEPENDS "${QUENVALE_GENERATED}/changelog.gz")
    set(components Runtime Development Tool)
    if(QUENVALE_HAVE_PYTHON)
      list(APPEND components Python)
    endif()
    foreach(component ${components})
      string(TOUPPER ${component} upper)
      install(FILES "${QUENVALE_GENERATED}/copyright" "${QUENVALE_GENERATED}/changelog.gz"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME} COMPONENT ${component})
    endforeach()
  endif()
endif()

include(CPack)
