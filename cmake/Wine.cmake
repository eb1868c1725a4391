# Runs the Windows programs built here under Wine, for CTest and for the scripts.
# Every Wine quirk the project depends on is settled in wine-run (see its comments).
find_program(WINE_EXECUTABLE wine REQUIRED)
find_program(WINESERVER_EXECUTABLE wineserver REQUIRED)

set(WINE_PREFIX_DIR ${CMAKE_BINARY_DIR}/wineprefix)
configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.in ${CMAKE_BINARY_DIR}/wine-run
  @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)
set(WINE_RUN ${CMAKE_BINARY_DIR}/wine-run)
set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_RUN})

# Every test under Wine requires the fixture "wine": the prefix exists and one wineserver stays
# up for the whole run, so that each process start costs about half a second instead of seven.
function(add_wine_fixture)
  add_test(NAME wine_start COMMAND ${WINE_RUN} --start-server)
  add_test(NAME wine_stop COMMAND ${WINE_RUN} --stop-server)
  set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine)
  set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine)
endfunction()
