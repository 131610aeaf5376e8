# PNG, JPEG and WebP for the host, its tests, fuzz targets and benchmarks, through
# libspng, libjpeg-turbo and libwebp; never for the shared library. AUTO builds them
# where both are found (not in the Windows cross builds).
set(QUENVALE_PICTURES AUTO CACHE STRING "PNG and JPEG in the host: AUTO, ON or OFF")
set_property(CACHE QUENVALE_PICTURES PROPERTY STRINGS AUTO ON OFF)
set(QUENVALE_WEBP AUTO CACHE STRING "WebP in the host, beside PNG and JPEG: AUTO or OFF")
set(QUENVALE_GIF AUTO CACHE STRING "GIF in the host, beside PNG and JPEG: AUTO or OFF")
set(QUENVALE_DEFLATE AUTO CACHE STRING "PNG compressed through libdeflate: AUTO or OFF")

set(QUENVALE_HAVE_PICTURES OFF)
set(QUENVALE_HAVE_WEBP OFF)
set(QUENVALE_HAVE_GIF OFF)
if(NOT QUENVALE_PICTURES STREQUAL "OFF")
  find_path(SPNG_INCLUDE_DIR spng.h)
  find_library(SPNG_LIBRARY spng)
  find_package(JPEG QUIET)
  find_package(ZLIB QUIET)
  if(SPNG_INCLUDE_DIR AND SPNG_LIBRARY AND JPEG_FOUND AND ZLIB_FOUND)
    set(QUENVALE_HAVE_PICTURES ON)
  elseif(QUENVALE_PICTURES STREQUAL "ON")
    message(FATAL_ERROR "QUENVALE_PICTURES is ON, but libspng or libjpeg was not found "
                        "(Debian: libspng-dev libjpeg62-turbo-dev zlib1g-dev)")
  else()
    message(WARNING "libspng or libjpeg not found: the host will read and write BMP only "
                    "(Debian: libspng-dev libjpeg62-turbo-dev zlib1g-dev libwebp-dev libgif-dev)")
  endif()
endif()

# Pictures in memory without the codecs: the picture in PNG's terms, its
# bitmap for a BMP output, the mapping of a result back, its pixels as
# 8-bit RGBA and its smallest encoding, its SVG, and the filters on
# a held picture (tools/app/held_filters.cpp), which the bindings call. Built everywhere, the WebAssembly build included, which has
# the codecs of its browser instead.
add_library(quenvale_picture_model STATIC
  tools/codecs/bitmap_bridge.cpp
  tools/codecs/picture.cpp
  tools/codecs/picture_mapping.cpp
  tools/codecs/smallest_encoding.cpp
  tools/codecs/svg_codec.cpp
  tools/app/held_filters.cpp
  tools/app/palette_read.cpp)
target_include_directories(quenvale_picture_model PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}/tools")
target_link_libraries(quenvale_picture_model PUBLIC quenvale_core PRIVATE quenvale_bitmap_writer)
set_target_properties(quenvale_picture_model PROPERTIES POSITION_INDEPENDENT_CODE ON)
quenvale_warnings(quenvale_picture_model)

# A codec of the pictures library built where its library is found and
# QUENVALE_<NAME> is not OFF: its source, its include folder and library,
# and QUENVALE_<NAME> defined (PUBLIC where others ask for it); else the
# warning. Sets QUENVALE_HAVE_<NAME>.
function(quenvale_optional_codec name header library source scope warning)
  find_path(${name}_INCLUDE_DIR ${header})
  find_library(${name}_LIBRARY ${library})
  if(${name}_INCLUDE_DIR AND ${name}_LIBRARY AND NOT QUENVALE_${name} STREQUAL "OFF")
    target_sources(quenvale_pictures PRIVATE ${source})
    target_include_directories(quenvale_pictures PRIVATE "${${name}_INCLUDE_DIR}")
    target_link_libraries(quenvale_pictures PRIVATE "${${name}_LIBRARY}")
    target_compile_definitions(quenvale_pictures ${scope} QUENVALE_${name})
    set(QUENVALE_HAVE_${name} ON PARENT_SCOPE)
  else()
    message(WARNING "${warning}")
  endif()
endfunction()

if(QUENVALE_HAVE_PICTURES)
  add_library(quenvale_pictures STATIC
    tools/codecs/jpeg_codec.cpp
    tools/codecs/png_codec.cpp)
  target_include_directories(quenvale_pictures PRIVATE "${SPNG_INCLUDE_DIR}")
  target_link_libraries(quenvale_pictures PUBLIC quenvale_picture_model PRIVATE quenvale_bitmap_writer "${SPNG_LIBRARY}" JPEG::JPEG ZLIB::ZLIB)
  target_compile_definitions(quenvale_pictures PUBLIC QUENVALE_PICTURES)
  set_target_properties(quenvale_pictures PROPERTIES POSITION_INDEPENDENT_CODE ON)
  # WebP beside them where libwebp is found.
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(WEBP QUIET IMPORTED_TARGET libwebp libwebpdemux libwebpmux)
  endif()
  if(WEBP_FOUND AND NOT QUENVALE_WEBP STREQUAL "OFF")
    target_sources(quenvale_pictures PRIVATE tools/codecs/webp_codec.cpp)
    target_link_libraries(quenvale_pictures PRIVATE PkgConfig::WEBP)
    target_compile_definitions(quenvale_pictures PUBLIC QUENVALE_WEBP)
    set(QUENVALE_HAVE_WEBP ON)
  else()
    message(WARNING "libwebp not found: the host will not read or write WebP (Debian: libwebp-dev)")
  endif()
  # PNG compressed through libdeflate where it is found, faster and smaller
  # than zlib; else through libspng and zlib.
  quenvale_optional_codec(DEFLATE libdeflate.h deflate tools/codecs/png_deflate.cpp PRIVATE
                          "libdeflate not found: PNG is compressed by zlib, slower and larger (Debian: libdeflate-dev)")
  # GIF beside them where giflib is found.
  quenvale_optional_codec(GIF gif_lib.h gif tools/codecs/gif_codec.cpp PUBLIC
                          "giflib not found: the host will not read or write GIF (Debian: libgif-dev)")
  quenvale_warnings(quenvale_pictures)
endif()
