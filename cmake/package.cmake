# Lays out and zips the release: cmake -P package.cmake with
#   SIDECAR, WRITER, PIPE, LOSSLESS  the built modules
#   ISOLATED, HELPER   the isolated module and its helper program, which
#                      go side by side
#   README_JA, README_EN  the notes (UTF-8, LF)
#   STAGE              a scratch folder
#   ZIP                the archive to write
# The notes are read on Windows by editors of a Japanese system: both go out
# in code page 932 with CRLF line ends (the English one holds the messages'
# Japanese texts too).
foreach(variable SIDECAR ISOLATED HELPER WRITER PIPE LOSSLESS README_JA README_EN STAGE ZIP)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "package.cmake: ${variable} is not set")
    endif()
endforeach()

get_filename_component(top "${ZIP}" NAME)
string(REGEX REPLACE "\\.zip$" "" top "${top}")
set(root "${STAGE}/${top}")
file(REMOVE_RECURSE "${STAGE}")
file(MAKE_DIRECTORY "${root}/sample")
file(COPY "${SIDECAR}" "${ISOLATED}" "${HELPER}" DESTINATION "${root}")
file(COPY "${WRITER}" "${PIPE}" "${LOSSLESS}" DESTINATION "${root}/sample")

find_program(ICONV iconv REQUIRED)
foreach(pair "${README_JA}|README-ja.txt" "${README_EN}|README-en.txt")
    string(REPLACE "|" ";" pair "${pair}")
    list(GET pair 0 source)
    list(GET pair 1 name)
    file(READ "${source}" text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE "${STAGE}/${name}.utf8" "${text}")
    execute_process(COMMAND "${ICONV}" -f UTF-8 -t CP932 "${STAGE}/${name}.utf8"
                    OUTPUT_FILE "${root}/${name}" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "package.cmake: ${source} does not convert to code page 932")
    endif()
    file(REMOVE "${STAGE}/${name}.utf8")
endforeach()

file(REMOVE "${ZIP}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar cf "${ZIP}" --format=zip "${top}"
                WORKING_DIRECTORY "${STAGE}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "package.cmake: cannot write ${ZIP}")
endif()
