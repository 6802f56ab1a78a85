target_sources(mira_objs PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/channel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame.cpp
  ${CMAKE_CURRENT_LIST_DIR}/receive.cpp)
