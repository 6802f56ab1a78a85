target_sources(mira_objs PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/driver_state.cpp
  ${CMAKE_CURRENT_LIST_DIR}/settings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/open_close.cpp)
