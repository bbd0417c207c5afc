# Capture-and-encode and decode of the JPEG pipeline (libjpeg-turbo build).
ov_add_bench(screen_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/screen_bench.cc LIBS ov_screen)
