# Writes one man page with help2man from a program's own --help and
# --version, so the page never drifts from the program. Run with cmake -P:
#   -DHELP2MAN=... -DPROGRAM=<built program> -DNAME=<installed name>
#   -DSECTION=1|8 -DDESCRIPTION="..." -DINCLUDE=<.h2m file>
#   -DSUBCOMMANDS="a;b" (their --help becomes a COMMANDS section)
#   -DOUTPUT=<page>, written as <page>.gz
#
# help2man makes the options into the OPTIONS section. What --help shows
# after them (CLI11's footer: exit codes, a configuration example) it would
# run together into filled paragraphs, so that part is cut off here and
# written as sections of its own: "Exit codes:" becomes EXIT STATUS, a
# paragraph headed "Configuration file (...):" CONFIGURATION FILE. There, and
# in each subcommand's part of COMMANDS, plain lines are filled, "  TAG  text"
# rows (options too) become a table and other indented lines are kept as they
# are (examples). A subcommand's footer that repeats the program's is left
# out: one exit-code table.
cmake_minimum_required(VERSION 3.25)

# help2man names the page after the file it runs.
get_filename_component(built_name "${PROGRAM}" NAME)
if(NOT built_name STREQUAL NAME)
  message(FATAL_ERROR "${PROGRAM} is not named ${NAME}")
endif()

# CMake lists split at ";" and group at "[...]": while text is a list of
# lines or paragraphs, these stand in for them.
string(ASCII 1 semi)
string(ASCII 2 open)
string(ASCII 3 close)
string(ASCII 4 para)

function(run_help out)
  execute_process(COMMAND "${PROGRAM}" ${ARGN} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} ${ARGN} --help exited ${rc}")
  endif()
  # CLI11 prints the path it was started by; the page names the program.
  string(REPLACE "${PROGRAM}" "${NAME}" help "${help}")
  string(REPLACE ";" "${semi}" help "${help}")
  string(REPLACE "[" "${open}" help "${help}")
  string(REPLACE "]" "${close}" help "${help}")
  set(${out} "${help}" PARENT_SCOPE)
endfunction()

function(unlisted text out)
  string(REPLACE "${semi}" ";" text "${text}")
  string(REPLACE "${open}" "[" text "${text}")
  string(REPLACE "${close}" "]" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Splits HELP into its paragraphs up to the last option group (a line
# "Name:" followed by indented lines only: Options, Positionals, Subcommands)
# and those after it, the footer.
function(split_help help head_out footer_out)
  string(REGEX REPLACE "\n\n+" "${para}" help "${help}")
  string(REGEX REPLACE "\n$" "" help "${help}")
  string(REPLACE "${para}" ";" paragraphs "${help}")
  set(last -1)
  set(i 0)
  foreach(p IN LISTS paragraphs)
    if(p MATCHES "^[A-Z][A-Za-z]*:(\n  [^\n]*)+$")
      set(last ${i})
    endif()
    math(EXPR i "${i} + 1")
  endforeach()
  set(head "")
  set(footer "")
  set(i 0)
  foreach(p IN LISTS paragraphs)
    if(i GREATER last)
      list(APPEND footer "${p}")
    else()
      string(APPEND head "${p}\n\n")
    endif()
    math(EXPR i "${i} + 1")
  endforeach()
  set(${head_out} "${head}" PARENT_SCOPE)
  set(${footer_out} "${footer}" PARENT_SCOPE)
endfunction()

# Plain text inside roff: backslashes escaped, no line taken for a request,
# "-" a minus (options copied from the page must work).
function(roff_text text out)
  unlisted("${text}" text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# One paragraph of --help as roff: plain lines filled, "  TAG  text" rows (and
# lines continuing their text) as a tagged table, other indented lines as
# they are.
function(paragraph_roff paragraph out)
  # An option too long for its column has its text on the next line.
  string(REGEX REPLACE "\n                    +([^ ])" "  \\1" paragraph "${paragraph}")
  string(REPLACE "\n" ";" lines "${paragraph}")
  set(roff "")
  set(mode start)
  foreach(line IN LISTS lines)
    string(LENGTH "${line}" width)
    if(mode STREQUAL "table" AND line MATCHES "^${continued}[^ ]")
      string(STRIP "${line}" line)
      roff_text("${line}" line)
      string(APPEND roff "${line}\n")
      continue()
    endif()
    if(mode STREQUAL "example" AND NOT line MATCHES "^  [^ ]")
      string(APPEND roff ".fi\n.RE\n")
    endif()
    if(line MATCHES "^[^ ]")
      if(NOT mode STREQUAL "example" AND NOT mode STREQUAL "prose")
        string(APPEND roff ".PP\n")
      elseif(line MATCHES "^Usage:")
        string(APPEND roff ".br\n")
      endif()
      roff_text("${line}" line)
      string(APPEND roff "${line}\n")
      set(mode prose)
    elseif(line MATCHES "^( +)([^ ]+( [^ ]+)*)(  +)([^ ].*)$")
      roff_text("${CMAKE_MATCH_2}" tag)
      roff_text("${CMAKE_MATCH_5}" row)
      string(REGEX REPLACE "." " " continued "${CMAKE_MATCH_1}${CMAKE_MATCH_2}${CMAKE_MATCH_4}")
      string(APPEND roff ".TP\n${tag}\n${row}\n")
      set(mode table)
    elseif(line MATCHES "^ *(.*)$" AND width GREATER 66)
      # Too long to keep as it is on an 80-column page: indented and filled.
      roff_text("${CMAKE_MATCH_1}" line)
      string(APPEND roff ".RS\n${line}\n.RE\n")
      set(mode prose)
    else()
      if(NOT mode STREQUAL "example")
        string(APPEND roff ".RS\n.nf\n")
      endif()
      string(REGEX REPLACE "^  " "" line "${line}")
      roff_text("${line}" line)
      string(APPEND roff "${line}\n")
      set(mode example)
    endif()
  endforeach()
  if(mode STREQUAL "example")
    string(APPEND roff ".fi\n.RE\n")
  endif()
  set(${out} "${roff}" PARENT_SCOPE)
endfunction()

run_help(main_help)
split_help("${main_help}" main_head main_footer)
# CLI11's first line, "NAME - what it does", is the page's NAME already.
string(REGEX REPLACE "^${NAME} - [^\n]*\n" "" main_head "${main_head}")

file(READ "${INCLUDE}" text)
if(SUBCOMMANDS)
  string(APPEND text "[COMMANDS]\n")
  foreach(sub ${SUBCOMMANDS})
    run_help(help ${sub})
    split_help("${help}" head footer)
    string(REPLACE "\n\n" "${para}" head "${head}")
    string(REPLACE "${para}" ";" head "${head}")
    string(APPEND text ".SS \"${NAME} ${sub}\"\n")
    foreach(p IN LISTS head footer)
      if(NOT p STREQUAL "" AND NOT p IN_LIST main_footer)
        paragraph_roff("${p}" roff)
        string(APPEND text "${roff}")
      endif()
    endforeach()
  endforeach()
endif()

# The footer's sections, named by the paragraph that opens each.
foreach(p IN LISTS main_footer)
  if(p MATCHES "^Exit codes:")
    set(section "EXIT STATUS")
  elseif(p MATCHES "^([A-Z][a-z]+( [a-z]+)*)( \\([^)\n]*\\))?:")
    string(TOUPPER "${CMAKE_MATCH_1}" section)
  endif()
  if(NOT section)
    message(FATAL_ERROR "${PROGRAM} --help: no section for \"${p}\"")
  endif()
  # A heading alone on its line is the section's title.
  string(REGEX REPLACE "^[^\n]*:\n" "" p "${p}")
  paragraph_roff("${p}" roff)
  string(APPEND text "[${section}]\n${roff}")
endforeach()

# help2man reads the options from a stand-in of the program that prints
# only what comes before the footer.
set(stand_in_dir "${OUTPUT}.help")
file(REMOVE_RECURSE "${stand_in_dir}")
unlisted("${main_head}" main_head)
file(WRITE "${stand_in_dir}/help" "${main_head}")
file(WRITE "${stand_in_dir}/${NAME}" "#!/bin/sh
[ \"$1\" != --help ] || exec cat \"${stand_in_dir}/help\"
exec \"${PROGRAM}\" \"$@\"
")
file(CHMOD "${stand_in_dir}/${NAME}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

set(include_file "${OUTPUT}.h2m")
file(WRITE "${include_file}" "${text}")

execute_process(
  COMMAND "${HELP2MAN}" --no-info --section=${SECTION} "--name=${DESCRIPTION}"
          "--include=${include_file}" "--output=${OUTPUT}" "${stand_in_dir}/${NAME}"
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man ${PROGRAM} exited ${rc}")
endif()
file(REMOVE "${include_file}")
file(REMOVE_RECURSE "${stand_in_dir}")
# Installed compressed, as Debian wants its pages (man reads either).
execute_process(COMMAND gzip -9nf "${OUTPUT}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip ${OUTPUT} exited ${rc}")
endif()
