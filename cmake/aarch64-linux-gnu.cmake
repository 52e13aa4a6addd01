# Linux on arm64 (aarch64), with g++-aarch64-linux-gnu and qemu-aarch64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(kestrel_triplet aarch64-linux-gnu)
set(kestrel_qemu qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
