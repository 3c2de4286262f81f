# Cross build for the display unit's 32-bit ARM (Debian armhf). Tests run
# under qemu-arm, which takes the loader and libraries from the armhf
# packages installed beside the native ones (multiarch).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
# ARMv7 with VFPv3-D16 is what Debian's armhf code needs.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;/;-cpu;cortex-a7)
# Every object is built by this one compiler: GCC's notes that the ARM
# calling convention for some arguments changed in GCC 7.1 concern nothing.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
