# Every message id the engine and the daemon's side of it look up has a
# translation in the daemon's catalogue: the ids are gathered from the
# sources the way the translators' tools gather them, and msgcmp fails on any
# id the catalogue lacks or leaves untranslated.
#
# cmake -DXGETTEXT=... -DMSGCMP=... -DSOURCE_DIR=<project> -DPO=<ja.po>
#       -DPOT=<scratch .pot> -P catalogue_check.cmake
#
# The keywords are the engine's ways into gettext: gettext itself, the
# message pair (ea_msgpair, ea_msgformat), the missing-key diagnostics (log_missing) and
# the event texts of the catalogue table (the 4th argument of row()).

foreach(var XGETTEXT MSGCMP SOURCE_DIR PO POT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "catalogue_check: ${var} not set")
  endif()
endforeach()

file(GLOB sources ${SOURCE_DIR}/src/ea/*.cpp ${SOURCE_DIR}/src/agent/daemon_*.cpp)
list(SORT sources)
if(NOT sources)
  message(FATAL_ERROR "catalogue_check: no sources under ${SOURCE_DIR}")
endif()

execute_process(
  COMMAND ${XGETTEXT} --from-code=UTF-8 --language=C++ --omit-header -k -kgettext
          -kea_msgpair -kea_msgformat -klog_missing -krow:4 -o ${POT} ${sources}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "catalogue_check: xgettext failed (${rc})")
endif()

# The event texts alone are 54 ids; far fewer means the keywords no longer
# find what the code looks up, and the comparison would prove nothing.
file(STRINGS ${POT} ids REGEX "^msgid ")
list(LENGTH ids count)
if(count LESS 55)
  message(FATAL_ERROR "catalogue_check: only ${count} message ids found in the sources")
endif()

execute_process(COMMAND ${MSGCMP} ${PO} ${POT} RESULT_VARIABLE rc ERROR_VARIABLE err)
# Ids of the catalogue that these sources do not use belong to the rest of
# the daemon: only the missing ones matter here.
string(REGEX REPLACE "[^\n]*warning: this message is not used\n" "" err "${err}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "catalogue_check: ids used but not translated in ${PO}:\n${err}")
endif()
message(STATUS "catalogue_check: all ${count} ids translated")
