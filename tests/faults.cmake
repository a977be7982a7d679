# The fault suites start the daemon binary itself: build it first. They are
# end-to-end tests (label e2e); those that wait for several 15-second service
# cycles are labelled slow as well.
#
# They run after DaemonEndToEndTest: its sleep-marker test creates
# /tmp/sleep, which pauses every daemon on the machine, and a fault test
# whose cycles are paused cannot see its fault applied. A high COST starts
# them as early as that allows.
foreach(test FaultHostileFilesTest FaultRecoveryTest FaultCatalogueTest FaultFullDiskTest)
  if(TARGET ${test} AND TARGET Ombrix)
    add_dependencies(${test} Ombrix)
    set_tests_properties(${test} PROPERTIES LABELS "e2e;faults" TIMEOUT 480 COST 100
                         DEPENDS DaemonEndToEndTest)
  endif()
endforeach()
foreach(test FaultRecoveryTest FaultCatalogueTest FaultFullDiskTest)
  if(TARGET ${test})
    set_tests_properties(${test} PROPERTIES LABELS "e2e;faults;slow")
  endif()
endforeach()
