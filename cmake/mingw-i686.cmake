# Cross build for 32-bit Windows with Debian's g++-mingw-w64-i686: the record
# layouts the hosts rely on are those of a 32-bit process.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MIRA_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
