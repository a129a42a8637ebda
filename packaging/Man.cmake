# Writes one man page with help2man from a program's own --help and
# --version, so the page never drifts from the program. Run with cmake -P:
#   -DHELP2MAN=... -DPROGRAM=<built program> -DNAME=<installed name>
#   -DSECTION=1|8 -DDESCRIPTION="..." -DINCLUDE=<.h2m file>
#   -DSUBCOMMANDS="a;b" (their --help becomes a COMMANDS section)
#   -DOUTPUT=<page>, written as <page>.gz
cmake_minimum_required(VERSION 3.25)

# help2man names the page after the file it runs.
get_filename_component(built_name "${PROGRAM}" NAME)
if(NOT built_name STREQUAL NAME)
  message(FATAL_ERROR "${PROGRAM} is not named ${NAME}")
endif()

set(include_file "${OUTPUT}.h2m")
file(READ "${INCLUDE}" text)
if(SUBCOMMANDS)
  string(APPEND text "[COMMANDS]\n")
  foreach(sub ${SUBCOMMANDS})
    execute_process(COMMAND "${PROGRAM}" ${sub} --help OUTPUT_VARIABLE help
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "${PROGRAM} ${sub} --help exited ${rc}")
    endif()
    # CLI11 prints the path it was started by; the page names the program.
    string(REPLACE "${PROGRAM}" "${NAME}" help "${help}")
    # Plain text inside roff: backslashes escaped, no line taken for a request.
    string(REPLACE "\\" "\\e" help "${help}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
    string(APPEND text ".SS \"${NAME} ${sub}\"\n.nf\n${help}.fi\n")
  endforeach()
endif()
file(WRITE "${include_file}" "${text}")

execute_process(
  COMMAND "${HELP2MAN}" --no-info --section=${SECTION} "--name=${DESCRIPTION}"
          "--include=${include_file}" "--output=${OUTPUT}" "${PROGRAM}"
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man ${PROGRAM} exited ${rc}")
endif()
file(REMOVE "${include_file}")
# Installed compressed, as Debian wants its pages (man reads either).
execute_process(COMMAND gzip -9nf "${OUTPUT}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip ${OUTPUT} exited ${rc}")
endif()
