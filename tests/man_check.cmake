# The manual pages render without a single warning, and voltmira-config(5)
# names every configuration key the agent reads or writes.
#
# cmake -DMAN=<man> -DSOURCE_DIR=<project> -DOUT=<scratch dir> -P man_check.cmake
#
# Each page goes through man itself (as an administrator would read it),
# with groff's warnings on, 80 columns and no pager; a status other than 0,
# anything on standard error or an empty page fails.
#
# The keys are gathered from the sources the way the code names them: the
# literal key of a read or write call (readparam(section, "Key"),
# ea_queuestr(w, section, "Key", ...)), a named key constant
# (BATT_KEY = "...", K_USERID = "..."), and the rows of a key table
# ({SCH_WEEKLY, "WEEKLYNO", "WEEKLYSTART%i", ...}).  A numbered key
# ("WEEKLYSTART%i") is documented as WEEKLYSTARTn.

foreach(var MAN SOURCE_DIR OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "man_check: ${var} not set")
  endif()
endforeach()
if(NOT EXISTS "${MAN}")
  message(FATAL_ERROR "man_check: no man program (${MAN}); install man-db and groff-base")
endif()
file(MAKE_DIRECTORY "${OUT}")

set(pages man/voltmirad.8 man/voltmiractl.8 man/voltmiracfg.8 man/voltmira-config.5)
set(failures "")
foreach(page IN LISTS pages)
  get_filename_component(name "${page}" NAME)
  set(rendered "${OUT}/${name}.txt")
  file(REMOVE "${rendered}")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env MANWIDTH=80 MANPAGER=cat PAGER=cat LC_ALL=C.UTF-8
            ${MAN} --warnings -E UTF-8 -l "${SOURCE_DIR}/${page}"
    OUTPUT_FILE "${rendered}"
    ERROR_VARIABLE err
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    string(APPEND failures "${name}: man exited with ${rc}\n")
  endif()
  if(NOT err STREQUAL "")
    string(APPEND failures "${name}: warnings:\n${err}")
  endif()
  set(text "")
  if(EXISTS "${rendered}")
    file(READ "${rendered}" text)
  endif()
  string(STRIP "${text}" stripped)
  if(stripped STREQUAL "")
    string(APPEND failures "${name}: rendered empty\n")
  endif()
  if(name STREQUAL "voltmira-config.5")
    set(config_text "${text}")
  endif()
endforeach()

# Keys named in the sources.
file(GLOB sources ${SOURCE_DIR}/src/ea/*.cpp ${SOURCE_DIR}/src/agent/*.cpp)
set(ws "[ \t\r\n]*")
set(arg "[^,;()]*,${ws}")
set(lit "\"[A-Za-z][A-Za-z0-9_%]*\"")
set(keys "")
foreach(src IN LISTS sources)
  file(READ "${src}" code)
  string(REGEX MATCHALL "(readparam|writeparam|ea_readint|ea_readstr|ea_writestr)\\(${ws}${arg}${lit}"
         second "${code}")
  string(REGEX MATCHALL "(ea_queuestr|ea_queuenum|queue_unsigned|queue_text)\\(${ws}${arg}${arg}${lit}"
         third "${code}")
  string(REGEX MATCHALL
         "const char${ws}\\*${ws}const${ws}(K_[A-Za-z_]*|[A-Za-z_]*[Kk][Ee][Yy][A-Za-z_]*)${ws}=${ws}${lit}"
         named "${code}")
  string(REGEX MATCHALL "\\{[A-Z_]+(,${ws}${lit})+\\}" rows "${code}")
  # A call's key is its last literal (a section may be one too); a table
  # row's literals are all keys.
  foreach(found IN LISTS second third named)
    string(REGEX REPLACE ".*\"([^\"]*)\"$" "\\1" l "${found}")
    list(APPEND keys "${l}")
  endforeach()
  foreach(found IN LISTS rows)
    string(REGEX MATCHALL "${lit}" literals "${found}")
    foreach(l IN LISTS literals)
      string(REPLACE "\"" "" l "${l}")
      list(APPEND keys "${l}")
    endforeach()
  endforeach()
endforeach()
list(REMOVE_DUPLICATES keys)
list(SORT keys)
list(LENGTH keys count)
# About forty keys exist; far fewer means the patterns no longer find what
# the code reads, and the comparison would prove nothing.
if(count LESS 35)
  message(FATAL_ERROR "man_check: only ${count} configuration keys found in the sources: ${keys}")
endif()

set(undocumented "")
foreach(key IN LISTS keys)
  if(key MATCHES "^(.*)%[a-z]$")
    set(pattern "(^|[^A-Za-z0-9_])${CMAKE_MATCH_1}n([^A-Za-z0-9_]|$)")
  else()
    set(pattern "(^|[^A-Za-z0-9_])${key}([^A-Za-z0-9_]|$)")
  endif()
  if(NOT config_text MATCHES "${pattern}")
    list(APPEND undocumented "${key}")
  endif()
endforeach()
if(undocumented)
  string(REPLACE ";" " " undocumented "${undocumented}")
  string(APPEND failures "voltmira-config.5: keys not documented: ${undocumented}\n")
endif()

if(NOT failures STREQUAL "")
  message(FATAL_ERROR "man_check:\n${failures}")
endif()
message(STATUS "man_check: 4 pages render cleanly; ${count} keys documented")
