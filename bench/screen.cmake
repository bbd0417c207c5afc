# Capture-and-encode and decode of the JPEG pipeline (libjpeg-turbo build).
ov_add_bench(screen_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/screen_bench.cc LIBS ov_screen)
# The host's stream: pipeline per profile against the encode alone; a static screen with and
# without the identical-pixels check.
ov_add_bench(screen_stream_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/screen_stream_bench.cc
             LIBS ov_screen ov_app_core ov_crypto)
# Under Wine: libjpeg-turbo against the GDI+ codec the Windows build used before.
if(WIN32)
  ov_add_bench(jpeg_codec_bench WINDOWS SOURCES ${CMAKE_CURRENT_LIST_DIR}/jpeg_codec_bench.cc
               ${CMAKE_CURRENT_LIST_DIR}/jpeg_gdiplus_win.cc LIBS ov_screen)
  target_link_libraries(jpeg_codec_bench PRIVATE gdiplus ole32)
endif()
# Changed-region frames against whole frames on workloads recorded under Xvfb
# (bench/record-region-workloads): bytes per second, host CPU per capture, PSNR after the
# workload and after a rest.
ov_add_bench(region_stream_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/region_stream_bench.cc LIBS ov_screen)
if(TARGET region_stream_bench)
  target_compile_definitions(region_stream_bench PRIVATE
    OV_REGION_WORKLOAD_SCRIPT="${CMAKE_CURRENT_LIST_DIR}/record-region-workloads")
endif()
