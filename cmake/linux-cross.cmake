# What the Linux cross-builds share: Debian's compilers for `kestrel_triplet`,
# the target's libraries from /usr/<triplet>, and qemu-user to run what is
# built. No foreign architecture is added to apt.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${kestrel_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${kestrel_triplet}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${kestrel_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${kestrel_qemu} -L /usr/${kestrel_triplet})
