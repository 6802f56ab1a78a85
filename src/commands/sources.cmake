target_sources(${MIRA_LAYER} PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/status.cpp
  ${CMAKE_CURRENT_LIST_DIR}/decode.cpp
  ${CMAKE_CURRENT_LIST_DIR}/request.cpp
  ${CMAKE_CURRENT_LIST_DIR}/transmit.cpp
  ${CMAKE_CURRENT_LIST_DIR}/read_range.cpp
  ${CMAKE_CURRENT_LIST_DIR}/read_start.cpp
  ${CMAKE_CURRENT_LIST_DIR}/read_finish.cpp
  ${CMAKE_CURRENT_LIST_DIR}/write_group.cpp
  ${CMAKE_CURRENT_LIST_DIR}/write_item.cpp
  ${CMAKE_CURRENT_LIST_DIR}/write_common.cpp)
