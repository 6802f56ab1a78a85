target_sources(${MIRA_LAYER} PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/entry_points.cpp)
