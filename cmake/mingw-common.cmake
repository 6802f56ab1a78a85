# Shared by the mingw-w64 toolchain files: MIRA_MINGW_TRIPLE names the target.
# The "-posix" compilers are Debian's variant whose C++ runtime carries
# std::thread and std::mutex (on winpthreads), which Portkit's receive thread
# and the window bridge's lock rely on.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${MIRA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MIRA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MIRA_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${MIRA_MINGW_TRIPLE}-dlltool)
set(CMAKE_OBJDUMP ${MIRA_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${MIRA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
