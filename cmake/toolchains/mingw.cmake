# Windows through mingw-w64 with the posix-thread compilers, for the triple
# the including file names; linked statically so that the DLL imports
# system DLLs only.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${QUENVALE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUENVALE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUENVALE_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QUENVALE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
