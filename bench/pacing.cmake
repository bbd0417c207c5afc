# Frame pacing of the host's stream per profile, with this system's stream clock against a
# condition-variable sleep; built for Windows too (run under Wine).
ov_add_bench(stream_pacing_bench WINDOWS SOURCES ${CMAKE_CURRENT_LIST_DIR}/stream_pacing_bench.cc
             LIBS ov_screen)
