# Per-monitor client of the monitor control process and its five states.
if(TARGET nuvak_framework)
  add_library(nuvak_monclient STATIC
    ${CMAKE_CURRENT_LIST_DIR}/monclient.cpp
    ${CMAKE_CURRENT_LIST_DIR}/state.cpp
    ${CMAKE_CURRENT_LIST_DIR}/idlestate.cpp
    ${CMAKE_CURRENT_LIST_DIR}/monstate.cpp
    ${CMAKE_CURRENT_LIST_DIR}/camstate.cpp
    ${CMAKE_CURRENT_LIST_DIR}/presetstate.cpp)
  target_include_directories(nuvak_monclient PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(nuvak_monclient PUBLIC nuvak_framework nuvak_include)
endif()
