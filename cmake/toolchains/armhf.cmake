# 32-bit ARM Linux (hard float); tests run under qemu-user on Debian's armhf
# runtime (libc6, libstdc++6 and the codecs, in the multiarch folders).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# Debian's armhf packages (the host's codecs) live in the multiarch folders.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# pkg-config (libwebp) reads the armhf packages' files, not the native ones.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
# The runtime is the multiarch one, loader and libc alike: with the cross
# toolchain's folder as the prefix, its loader met the multiarch libc that
# the codecs' packages bring, of another release, and a thread's start
# crashed.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /)
