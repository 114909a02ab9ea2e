# The table of what the rescue brings back on every part, in docs/hardware.md between its two
# marker lines, as `brindlequartz-cli parts --rescue` prints it.
#
#   cmake -DCLI=brindlequartz-cli -DPARTLIST=PartList.cfg -DDOC=docs/hardware.md
#         -DMODE=check|write -P tools/rescue_table/hardware_doc.cmake
#
# check fails when the page holds another table; write puts the printed one in its place.
# The build's target `rescue-table` runs write.
cmake_minimum_required(VERSION 3.20)

set(_begin "<!-- rescue table: brindlequartz-cli parts --rescue prints it; do not edit by hand -->")
set(_end "<!-- end of the rescue table -->")

foreach(_var CLI PARTLIST DOC MODE)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "hardware_doc.cmake: give -D${_var}=...")
  endif()
endforeach()

execute_process(COMMAND ${CLI} --partlist ${PARTLIST} parts --rescue
  OUTPUT_VARIABLE _table RESULT_VARIABLE _status)
if(NOT _status EQUAL 0)
  message(FATAL_ERROR "${CLI} parts --rescue failed (${_status})")
endif()

file(READ ${DOC} _page)
string(FIND "${_page}" "${_begin}\n" _at)
string(FIND "${_page}" "${_end}" _stop)
if(_at EQUAL -1 OR _stop EQUAL -1 OR _stop LESS _at)
  message(FATAL_ERROR "${DOC} lacks the marker lines\n${_begin}\n${_end}")
endif()
string(LENGTH "${_begin}\n" _begin_length)
math(EXPR _from "${_at} + ${_begin_length}")
math(EXPR _length "${_stop} - ${_from}")
string(SUBSTRING "${_page}" ${_from} ${_length} _current)

if(_current STREQUAL _table)
  return()
endif()
if(MODE STREQUAL "check")
  message(FATAL_ERROR "${DOC} is out of date: its rescue table is not what "
    "`brindlequartz-cli parts --rescue` prints. Regenerate it with "
    "`cmake --build build --target rescue-table` and commit docs/hardware.md.")
endif()
string(SUBSTRING "${_page}" 0 ${_from} _head)
string(SUBSTRING "${_page}" ${_stop} -1 _tail)
file(WRITE ${DOC} "${_head}${_table}${_tail}")
message(STATUS "${DOC}: rescue table written")
