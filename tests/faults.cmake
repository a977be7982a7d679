# The fault suites start the daemon binary itself: build it first. They are
# end-to-end tests (label e2e); the ones that need several 15-second service
# cycles are also labelled slow.
foreach(test FaultHostileFilesTest FaultRecoveryTest FaultCatalogueTest FaultFullDiskTest)
  if(TARGET ${test} AND TARGET Ombrix)
    add_dependencies(${test} Ombrix)
    set_tests_properties(${test} PROPERTIES LABELS "e2e;faults" TIMEOUT 480)
  endif()
endforeach()
