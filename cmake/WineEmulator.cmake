# Cross-built Windows test programs run under wine64: every add_test() of an executable target goes
# through build-windows/wine-run, which puts Qt's and MinGW's DLLs and the build's own bin/ on the
# Windows search path. WINEPREFIX is the caller's: ./scripts/test --windows makes a throwaway one for
# each run; without it the prefix is build-windows/wineprefix.
find_program(OSTREL_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(NOT OSTREL_WINE64)
    message(STATUS "wine64 not found: the Windows tests cannot run on this machine")
    set(OSTREL_WINE64 wine64)
endif()

execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
    OUTPUT_VARIABLE OSTREL_MINGW_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(OSTREL_MINGW_RUNTIME_DIR "${OSTREL_MINGW_LIBGCC}" DIRECTORY)
get_filename_component(OSTREL_QT_BIN_DIR "${Qt5Core_DIR}/../../../bin" ABSOLUTE)
set(OSTREL_WINEPATH "${OSTREL_QT_BIN_DIR};${OSTREL_MINGW_RUNTIME_DIR};/usr/${OSTREL_MINGW_TRIPLET}/lib;${CMAKE_BINARY_DIR}/bin")

configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/CMakeFiles/wine-run @ONLY)
file(COPY ${CMAKE_BINARY_DIR}/CMakeFiles/wine-run DESTINATION ${CMAKE_BINARY_DIR}
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
# A test that needs a Wine prefix (and wineserver) of its own runs through this script.
set(OSTREL_OWN_WINEPREFIX ${PROJECT_SOURCE_DIR}/tests/common/own_wineprefix.sh)
