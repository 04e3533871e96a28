# Fails when the vkweb binary (BINARY) carries code of the session library
# or the group module: its C functions (vk_..., _vk_...) or anything of
# the namespace vkgroup.
execute_process(COMMAND ${NM} -C ${BINARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR symbols STREQUAL "")
  message(FATAL_ERROR "cannot list the symbols of ${BINARY}")
endif()
string(REGEX MATCHALL "[^\n]*( _?vk_[A-Za-z]|vkgroup::)[^\n]*" found "${symbols}")
if(found)
  list(LENGTH found n)
  list(SUBLIST found 0 10 some)
  list(JOIN some "\n" shown)
  message(FATAL_ERROR "${BINARY} carries ${n} symbols of the session library or the group module:\n${shown}")
endif()
message(STATUS "${BINARY}: nothing of the session library or the group module")
