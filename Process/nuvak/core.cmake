# Tour control, tour managers, the server object and the database manager.
if(TARGET nuvak_monclient AND TARGET nuvak_tables AND TARGET nuvak_comm AND TARGET nuvak_tmgr
   AND TARGET nuvak_xmlcodec AND TARGET nuvak_message AND TARGET nuvak_dbif)
  add_library(nuvak_core STATIC
    ${CMAKE_CURRENT_LIST_DIR}/nuvakcntl.cpp
    ${CMAKE_CURRENT_LIST_DIR}/nuvakcntltable.cpp
    ${CMAKE_CURRENT_LIST_DIR}/nuvakmgr.cpp
    ${CMAKE_CURRENT_LIST_DIR}/nuvakserver.cpp
    ${CMAKE_CURRENT_LIST_DIR}/databasemgr.cpp)
  target_include_directories(nuvak_core PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(nuvak_core PUBLIC nuvak_monclient nuvak_tables nuvak_comm nuvak_tmgr
                                          nuvak_xmlcodec nuvak_message nuvak_dbif nuvak_framework
                                          nuvak_include)
endif()
