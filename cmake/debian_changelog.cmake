# Makes the Debian changelog of the packages, gzip-compressed, from CHANGELOG.md:
#
#   cmake -DCHANGELOG=<CHANGELOG.md> -DOUTPUT=<changelog.gz> -DSOURCE=<source package>
#         -DVERSION=<project version> -DMAINTAINER=<name and address> -DGZIP=<gzip>
#         -P debian_changelog.cmake
#
# Every "## <version> (<yyyy-mm-dd>)" heading becomes an entry and its "- "
# bullet points, continued on the lines below them, its items, wrapped anew
# to Debian's width. What comes before the first heading is left out, and
# backquotes are dropped, since the changelog is plain text. An "## Unreleased"
# section at the top gathers changes no version has yet and is left out too.
# The newest entry must be VERSION, so that the packages never carry a
# changelog of another version.
cmake_minimum_required(VERSION 3.25)

# Debian changelog lines stay within 80 columns.
set(width 78)
set(month_names Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
set(day_names Sun Mon Tue Wed Thu Fri Sat)
# Sakamoto's offsets, for the day of the week of a date.
set(month_offsets 0 3 2 5 0 3 5 1 4 6 2 4)

# The date as Debian's changelog writes it, e.g. "Mon, 07 Dec 2026".
function(changelog_date year month day out)
  set(y ${year})
  if(month LESS 3)
    math(EXPR y "${y} - 1")
  endif()
  math(EXPR index "${month} - 1")
  list(GET month_offsets ${index} offset)
  math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + ${day}) % 7")
  list(GET day_names ${weekday} day_name)
  list(GET month_names ${index} month_name)
  set(${out} "${day_name}, ${day} ${month_name} ${year}" PARENT_SCOPE)
endfunction()

# Appends one item to the variable named by out_var: "  * " before its first
# line, four spaces before the others. The text is taken a word at a time
# with string(FIND), not as a list, so that ';' and '[' in it stay as they are.
function(append_item out_var text)
  string(REPLACE "`" "" text "${text}")
  string(REGEX REPLACE "[ \t]+" " " text "${text}")
  string(STRIP "${text}" text)
  set(lines "")
  set(line "  *")
  set(line_has_words FALSE)
  while(NOT text STREQUAL "")
    string(FIND "${text}" " " end)
    if(end EQUAL -1)
      set(word "${text}")
      set(text "")
    else()
      string(SUBSTRING "${text}" 0 ${end} word)
      math(EXPR end "${end} + 1")
      string(SUBSTRING "${text}" ${end} -1 text)
    endif()
    string(LENGTH "${line} ${word}" length)
    if(length GREATER width AND line_has_words)
      string(APPEND lines "${line}\n")
      set(line "   ")
    endif()
    string(APPEND line " ${word}")
    set(line_has_words TRUE)
  endwhile()
  set(${out_var} "${${out_var}}${lines}${line}\n" PARENT_SCOPE)
endfunction()

# Ends the item being read, if any, and adds it to the entry's items.
macro(end_item)
  if(NOT item STREQUAL "")
    append_item(items "${item}")
    set(item "")
  endif()
endmacro()

# Ends the entry being read, if any, and adds it to the changelog.
macro(end_entry)
  end_item()
  if(NOT heading STREQUAL "")
    if(items STREQUAL "")
      message(FATAL_ERROR "${CHANGELOG}: version ${version} lists no changes")
    endif()
    if(NOT changelog STREQUAL "")
      string(APPEND changelog "\n")
    endif()
    string(APPEND changelog "${heading}\n\n${items}\n${trailer}\n")
  endif()
endmacro()

file(READ "${CHANGELOG}" text)
set(changelog "")
set(heading "")
set(newest "")
set(item "")
set(number 0)
# The last line counts even without a line end.
string(APPEND text "\n")
while(NOT text STREQUAL "")
  string(FIND "${text}" "\n" end)
  string(SUBSTRING "${text}" 0 ${end} line)
  math(EXPR end "${end} + 1")
  string(SUBSTRING "${text}" ${end} -1 text)
  math(EXPR number "${number} + 1")

  if(line STREQUAL "## Unreleased" AND newest STREQUAL "")
    # its bullet points are passed over with the preface
  elseif(line MATCHES "^## ")
    end_entry()
    if(NOT line MATCHES "^## ([0-9][0-9A-Za-z.+~]*) \\(([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])\\)$")
      message(FATAL_ERROR "${CHANGELOG}:${number}: a version heading reads \"## <version> (<yyyy-mm-dd>)\"")
    endif()
    set(version ${CMAKE_MATCH_1})
    changelog_date(${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4} date)
    if(newest STREQUAL "")
      set(newest ${version})
    endif()
    set(heading "${SOURCE} (${version}) unstable; urgency=medium")
    set(items "")
    set(trailer " -- ${MAINTAINER}  ${date} 00:00:00 +0000")
  elseif(heading STREQUAL "")
    # before the first version: the title and the preface
  elseif(line MATCHES "^[ \t]*$")
    end_item()
  elseif(line MATCHES "^[-*] (.*)$")
    set(text_of_item "${CMAKE_MATCH_1}")
    end_item()
    set(item "${text_of_item}")
  elseif(NOT item STREQUAL "" AND NOT line MATCHES "^#")
    string(APPEND item " ${line}")
  else()
    message(FATAL_ERROR "${CHANGELOG}:${number}: only bullet points belong under a version heading")
  endif()
endwhile()
end_entry()

if(NOT newest STREQUAL "${VERSION}")
  message(FATAL_ERROR "${CHANGELOG}: the newest version is \"${newest}\", but the project's is ${VERSION}")
endif()

string(REGEX REPLACE "\\.gz$" "" plain "${OUTPUT}")
file(WRITE "${plain}" "${changelog}")
# -n keeps the name and time out of the archive, so that it comes out alike every build.
execute_process(COMMAND "${GZIP}" -9nf "${plain}" COMMAND_ERROR_IS_FATAL ANY)
