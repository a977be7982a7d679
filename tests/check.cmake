# The ombrix-check test runs the tool on a catalogue the daemon builds: both
# binaries first. It starts the daemon only for its first build or check,
# never waits for a service cycle, so it stays in the quick run.
if(TARGET CheckToolTest AND TARGET ombrix-check AND TARGET Ombrix)
  add_dependencies(CheckToolTest ombrix-check Ombrix)
endif()
