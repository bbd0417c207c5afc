# Compiler cache: when ccache is installed, every compile of every build goes through it, so a
# second build of the same sources (another build folder, a fresh clone on the same machine, the
# demo's own Windows build) takes its objects from the cache. Paths under the source tree are
# rewritten relative to the build folder, and the build folder's own path is not hashed, so clones
# in different places share the cache. -DKESTROVA_CCACHE=OFF compiles without it.
option(KESTROVA_CCACHE "Compile through ccache when it is installed" ON)
if(KESTROVA_CCACHE AND NOT CMAKE_C_COMPILER_LAUNCHER AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  find_program(OV_CCACHE ccache)
  if(OV_CCACHE)
    # Five presets' objects, with debug information, hold a few GiB.
    set(OV_CCACHE_LAUNCHER ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${PROJECT_SOURCE_DIR}
        CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=16G ${OV_CCACHE})
    set(CMAKE_C_COMPILER_LAUNCHER ${OV_CCACHE_LAUNCHER})
    set(CMAKE_CXX_COMPILER_LAUNCHER ${OV_CCACHE_LAUNCHER})
  endif()
endif()
