# Windows builds run their programs under Wine through a runner configured
# here, build/windows/wine-run.sh, which fixes the prefix and the server for
# every run: the tests, the prefix check and scripts all go through it.
if(DEFINED ENV{QUILLET_WINEPREFIX} AND NOT "$ENV{QUILLET_WINEPREFIX}" STREQUAL "")
  set(quillet_default_prefix "$ENV{QUILLET_WINEPREFIX}")
elseif(DEFINED ENV{QUILLET_CACHE} AND NOT "$ENV{QUILLET_CACHE}" STREQUAL "")
  set(quillet_default_prefix "$ENV{QUILLET_CACHE}/wineprefix")
else()
  set(quillet_default_prefix "$ENV{HOME}/.cache/quillet/wineprefix")
endif()
set(QUILLET_WINEPREFIX "${quillet_default_prefix}" CACHE PATH "The Wine prefix the Windows tests run in")
set(QUILLET_WINE_TMPDIR "/tmp" CACHE PATH "TMPDIR of every Wine run: where the wine server keeps its socket")
find_program(QUILLET_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(QUILLET_WINE NAMES wine64 wine)
find_program(QUILLET_WINESERVER NAMES wineserver PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(QUILLET_WINESERVER NAMES wineserver)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh @ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
