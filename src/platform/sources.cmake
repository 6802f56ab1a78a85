target_sources(mira_objs PRIVATE ${CMAKE_CURRENT_LIST_DIR}/wide.cpp)
if(WIN32)
  # The system's own clock, window messages and library entry point.
  target_sources(mira_objs PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/wide_win.cpp
    ${CMAKE_CURRENT_LIST_DIR}/clock_win.cpp
    ${CMAKE_CURRENT_LIST_DIR}/window_win.cpp
    ${CMAKE_CURRENT_LIST_DIR}/dll_main_win.cpp)
else()
  target_sources(mira_objs PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/clock.cpp
    ${CMAKE_CURRENT_LIST_DIR}/window.cpp)
endif()
