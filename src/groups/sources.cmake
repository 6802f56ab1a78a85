target_sources(mira_objs PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/registry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/unsolicited.cpp)
