# kestrova-relay benchmarks (Linux only; the relay is not built for Windows).
if(TARGET ov_relay_testing)
  # GCC 12 false positives inside inlined Asio code (see relay/CMakeLists.txt).
  set_source_files_properties(relay_forward_bench.cc relay_latency_bench.cc relay_idle_bench.cc
    relay_fleet_bench.cc relay_hostile_bench.cc relay_registry_bench.cc
    PROPERTIES COMPILE_OPTIONS -Wno-null-dereference)
  ov_add_bench(relay_forward_bench SOURCES relay_forward_bench.cc LIBS ov_relay_testing)
  ov_add_bench(relay_latency_bench SOURCES relay_latency_bench.cc LIBS ov_relay_testing)
  ov_add_bench(relay_idle_bench SOURCES relay_idle_bench.cc LIBS ov_relay_testing)
  ov_add_bench(relay_fleet_bench SOURCES relay_fleet_bench.cc LIBS ov_relay_testing)
  ov_add_bench(relay_registry_bench SOURCES relay_registry_bench.cc LIBS ov_relay_testing)
  if(TARGET relay_registry_bench)
    add_dependencies(relay_registry_bench kestrova-relay)
    target_compile_definitions(relay_registry_bench PRIVATE
      OV_RELAY_BINARY="$<TARGET_FILE:kestrova-relay>")
  endif()
  ov_add_bench(relay_hostile_bench SOURCES relay_hostile_bench.cc LIBS ov_relay_testing)
endif()
