# Runs a host of the C interface in a fresh directory, then reads its log
# with vtl json:
#   cmake -DHOST="PROGRAM|ARGS..." -DVTL="PROGRAM" -DWORK=DIR -P run_host.cmake
# (each a command line with "|" between its words, an emulator first where
# there is one). The host runs the sequence of sequence.c and prints
# "records: N" and "log: PATH"; its log must be in c-host-logs/Protökolle-日本,
# under that name, with N records, and hold the key name and fact byte for byte.
string(REPLACE "|" ";" host "${HOST}")
string(REPLACE "|" ";" vtl "${VTL}")
list(REMOVE_ITEM host "")
list(REMOVE_ITEM vtl "")
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/c-host-logs)  # the host makes the directory inside it
execute_process(COMMAND ${host} WORKING_DIRECTORY ${WORK}
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
string(REPLACE "\r" "" out "${out}")
message(STATUS "host said:\n${out}${err}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the host failed with ${rc}")
endif()
if(NOT out MATCHES "records: ([0-9]+)\nlog: ([^\n]+)\n")
  message(FATAL_ERROR "the host printed no log path")
endif()
set(records ${CMAKE_MATCH_1})
set(printed "${CMAKE_MATCH_2}")

set(dir "${WORK}/c-host-logs/Protökolle-日本")
file(GLOB logs "${dir}/*.vtl")
file(GLOB_RECURSE all "${WORK}/c-host-logs/*")
list(LENGTH logs n)
if(NOT n EQUAL 1)
  message(FATAL_ERROR "expected one log in ${dir}, found: ${all}")
endif()
get_filename_component(name "${logs}" NAME)
string(LENGTH "${name}" name_length)
string(LENGTH "${printed}" printed_length)
math(EXPR tail "${printed_length} - ${name_length} - 1")
string(SUBSTRING "${printed}" 0 ${tail} printed_dir)
string(SUBSTRING "${printed}" ${tail} -1 printed_name)
string(REGEX REPLACE "[/\\\\]" "/" printed_dir "${printed_dir}")
if(NOT printed_name MATCHES "^[/\\\\]${name}$" OR NOT printed_dir STREQUAL "c-host-logs/Protökolle-日本")
  message(FATAL_ERROR "vtcGetLogPath said '${printed}', the log is ${logs}")
endif()

file(COPY_FILE "${logs}" "${WORK}/plain.vtl")
execute_process(COMMAND ${vtl} json plain.vtl WORKING_DIRECTORY ${WORK}
  OUTPUT_VARIABLE json ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "vtl json failed with ${rc}: ${err}")
endif()
string(REPLACE "\r" "" json "${json}")
foreach(bytes "\"Äpfel-日\"" "\"Häfen-🎮\"" "\"Karte\"")
  string(FIND "${json}" "${bytes}" at)
  if(at LESS 0)
    message(FATAL_ERROR "vtl json lacks ${bytes}:\n${json}")
  endif()
endforeach()
# One object a line (a record's text has semicolons, CMake's list separator).
string(REGEX REPLACE "[^\n]" "" newlines "${json}")
string(LENGTH "${newlines}" lines)
if(NOT lines EQUAL records)
  message(FATAL_ERROR "vtl json shows ${lines} records, vtcGetState said ${records}")
endif()
message(STATUS "the log holds ${lines} records, the key and the fact byte for byte")
