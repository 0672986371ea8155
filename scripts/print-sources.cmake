# Prints the files of the source lists named in LISTS (sources.cmake), one a line:
#   cmake -DLISTS="CORE_SOURCES;REALMODE_PORTABLE_SOURCES" -P scripts/print-sources.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../sources.cmake)
foreach(list ${LISTS})
  foreach(file ${${list}})
    execute_process(COMMAND ${CMAKE_COMMAND} -E echo ${file})
  endforeach()
endforeach()
