# The Debian package: build, install, run as the unit would, remove. It tests
# the host's own package, so cross trees leave it out.
if(NOT CMAKE_CROSSCOMPILING)
  add_test(NAME PackageInstall COMMAND ${CMAKE_SOURCE_DIR}/scripts/test-package.sh)
  set_tests_properties(PackageInstall PROPERTIES LABELS package TIMEOUT 900
                       SKIP_RETURN_CODE 77 RUN_SERIAL TRUE)
endif()
