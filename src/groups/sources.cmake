target_sources(${MIRA_LAYER} PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/registry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/unsolicited.cpp)
