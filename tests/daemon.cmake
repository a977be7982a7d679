# The end-to-end test starts the daemon binary itself: build it first, and
# label the test so a quick run can leave out its 15-second service cycles
# (ctest -LE e2e).
if(TARGET DaemonEndToEndTest AND TARGET Ombrix)
  add_dependencies(DaemonEndToEndTest Ombrix)
  set_tests_properties(DaemonEndToEndTest PROPERTIES LABELS e2e TIMEOUT 300)
endif()
