# Full paints of the main window: recording canvas natively, GDI+ under Wine.
ov_add_bench(ui_paint_bench WINDOWS SOURCES ${CMAKE_CURRENT_LIST_DIR}/ui_paint_bench.cc
             LIBS ov_ui ov_screen)
if(WIN32 AND TARGET ui_paint_bench)
  target_link_libraries(ui_paint_bench PRIVATE gdiplus ole32)
endif()
