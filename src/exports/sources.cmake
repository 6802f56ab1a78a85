target_sources(mira_objs PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/entry_points.cpp)
