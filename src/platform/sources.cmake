target_sources(${MIRA_LAYER} PRIVATE ${CMAKE_CURRENT_LIST_DIR}/wide.cpp)
if(WIN32)
  # The system's own clock and window messages (the library's entry point,
  # dll_main_win.cpp, goes into mira.dll itself: cmake/windows.cmake).
  target_sources(${MIRA_LAYER} PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/wide_win.cpp
    ${CMAKE_CURRENT_LIST_DIR}/clock_win.cpp
    ${CMAKE_CURRENT_LIST_DIR}/window_win.cpp)
else()
  target_sources(${MIRA_LAYER} PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/clock.cpp
    ${CMAKE_CURRENT_LIST_DIR}/window.cpp)
endif()
