# Tour and group-preset tables, loaded through the database interface.
if(TARGET nuvak_dbif)
  add_library(nuvak_tables STATIC
    ${CMAKE_CURRENT_LIST_DIR}/nuvak.cpp
    ${CMAKE_CURRENT_LIST_DIR}/nuvaktable.cpp
    ${CMAKE_CURRENT_LIST_DIR}/gpreset.cpp
    ${CMAKE_CURRENT_LIST_DIR}/gpresettable.cpp)
  target_include_directories(nuvak_tables PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(nuvak_tables PUBLIC nuvak_dbif nuvak_include)
endif()

# The table tests write their databases with the writer of tools/nuvak-dbtool;
# their programs are made after this file is read, so link it at the end of
# the whole configuration (the tools come later).
function(nuvak_tables_test_links)
  foreach(t nuvak_tables_test nuvak_tables_nstest)
    if(TARGET ${t} AND TARGET nuvak_dbwriter)
      target_link_libraries(${t} PRIVATE nuvak_dbwriter)
    endif()
  endforeach()
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL nuvak_tables_test_links)
