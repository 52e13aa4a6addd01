# Linux on 32-bit ARM with hard float (armhf), with g++-arm-linux-gnueabihf
# and qemu-arm.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(kestrel_triplet arm-linux-gnueabihf)
set(kestrel_qemu qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
