# Read by ctest after the discovered database tests are defined (see
# tests/CMakeLists.txt): what those tests share beyond a database of their
# own, so that ctest -j runs them side by side without one upsetting another.
#   RUN_SERIAL     ServerRestarts.*: they stop or restart the cluster, which
#                  every other database test is connected to
#   RESOURCE_LOCK  a server beside the cluster that a test stops, or that has
#                  room for one test at a time (scripts/lib/servers.sh):
#                  lumet_standby  the hot standby, stopped by a test
#                  lumet_pooler   PgBouncer, with one server connection
#                  lumet_net      the server in its network namespace, whose
#                                 link a test cuts
if(NOT DEFINED db_tests_TESTS)
  return()
endif()
foreach(test IN LISTS db_tests_TESTS)
  if(test MATCHES "^ServerRestarts[.]")
    set_tests_properties(${test} PROPERTIES RUN_SERIAL TRUE)
  elseif(test MATCHES "^Connecting[.]Standby")
    set_tests_properties(${test} PROPERTIES RESOURCE_LOCK lumet_standby)
  elseif(test MATCHES "^Connecting[.]Pooler")
    set_tests_properties(${test} PROPERTIES RESOURCE_LOCK lumet_pooler)
  elseif(test MATCHES "^ConnectingNetwork[.]")
    set_tests_properties(${test} PROPERTIES RESOURCE_LOCK lumet_net)
  endif()
endforeach()
