# Cross build for the board: 32-bit ARM, hard float, with Debian's
# arm-linux-gnueabihf cross compiler (apt-get install g++-arm-linux-gnueabihf).
#
#   cmake -S . -B build/armhf --toolchain cmake/toolchain-armhf.cmake
#
# The compiler finds the target's headers and libraries under
# /usr/arm-linux-gnueabihf by itself, so no --sysroot is passed; that tree is
# only where find_* looks for target files. With qemu-user installed, target
# programs run through qemu-arm (CMAKE_CROSSCOMPILING_EMULATOR), which test
# and custom commands pick up.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(MODEM_TOOLS_TARGET_TRIPLET arm-linux-gnueabihf)
set(MODEM_TOOLS_TARGET_ROOT /usr/${MODEM_TOOLS_TARGET_TRIPLET})

set(CMAKE_C_COMPILER ${MODEM_TOOLS_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${MODEM_TOOLS_TARGET_TRIPLET}-g++)

# Target files come from the target tree only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH ${MODEM_TOOLS_TARGET_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(MODEM_TOOLS_QEMU_ARM qemu-arm)
if(MODEM_TOOLS_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;${MODEM_TOOLS_TARGET_ROOT})
endif()
