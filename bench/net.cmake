# TLS client set-up on POSIX (the Windows build trusts through WinHTTP and the system store).
if(NOT WIN32)
  ov_add_bench(tls_trust_bench SOURCES tls_trust_bench.cc LIBS ov_net)
endif()
