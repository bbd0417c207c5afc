# libjpeg-turbo for the Windows build, compiled from Debian's source package (the revision the
# Linux build links) with mingw-w64 and its nasm SIMD code. scripts/install-deps unpacks the
# source under third_party/; the static TurboJPEG library is built once per build tree and reused
# by every later build.
include(ExternalProject)
set(OV_TURBOJPEG_SRC ${CMAKE_SOURCE_DIR}/third_party/libjpeg-turbo-src/tree)
if(NOT EXISTS ${OV_TURBOJPEG_SRC}/turbojpeg.h)
  message(FATAL_ERROR "libjpeg-turbo source not found in ${OV_TURBOJPEG_SRC}: run scripts/install-deps")
endif()
find_program(OV_NASM nasm REQUIRED)
set(OV_TURBOJPEG_BUILD ${CMAKE_BINARY_DIR}/_deps/libjpeg-turbo)
set(OV_TURBOJPEG_LIBRARY ${OV_TURBOJPEG_BUILD}/libturbojpeg.a)
ExternalProject_Add(libjpeg_turbo_windows
  SOURCE_DIR ${OV_TURBOJPEG_SRC}
  BINARY_DIR ${OV_TURBOJPEG_BUILD}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_INSTALL_PREFIX=${OV_TURBOJPEG_BUILD}/install
    -DCMAKE_ASM_NASM_COMPILER=${OV_NASM}
    -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=ON -DREQUIRE_SIMD=ON
    -DWITH_JAVA=OFF
  BUILD_COMMAND ${CMAKE_COMMAND} --build ${OV_TURBOJPEG_BUILD} --target turbojpeg-static
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${OV_TURBOJPEG_LIBRARY}
  EXCLUDE_FROM_ALL TRUE)
add_library(ov_turbojpeg STATIC IMPORTED GLOBAL)
set_target_properties(ov_turbojpeg PROPERTIES
  IMPORTED_LOCATION ${OV_TURBOJPEG_LIBRARY}
  INTERFACE_INCLUDE_DIRECTORIES ${OV_TURBOJPEG_SRC})
add_dependencies(ov_turbojpeg libjpeg_turbo_windows)
