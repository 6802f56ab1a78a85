# Shared by the Linux cross toolchain files: MIRA_CROSS_TRIPLE names the
# target as Debian's crossbuild-essential-<arch> compilers do, MIRA_QEMU the
# qemu-user program that runs its code here.
#
# The libraries a build links come from Debian's multiarch packages
# (libgtest-dev:armhf and so on), which sit in /usr/lib/<triple> beside the
# build machine's own; headers in /usr/include are shared by all
# architectures. So nothing is searched under a separate root, and the
# library architecture alone keeps the build machine's libraries out.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${MIRA_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MIRA_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${MIRA_CROSS_TRIPLE})
set(CMAKE_NM ${MIRA_CROSS_TRIPLE}-nm)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${MIRA_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig)

# Test programs run under qemu-user, named here so that ctest (and the test
# discovery it runs) needs no binfmt handlers. They load the target's C and
# C++ runtimes of the multiarch packages (libc6:armhf ...), as on the board:
# the cross toolchain's copies under /usr/<triple> are for linking only, and
# its loader with the packages' C library crashes in the first thread start.
set(CMAKE_CROSSCOMPILING_EMULATOR ${MIRA_QEMU})
