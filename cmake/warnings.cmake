# Warnings for the project's own code (third-party targets do not get these).
add_library(ov_warnings INTERFACE)
target_compile_options(ov_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
  -Wunused -Woverloaded-virtual -Wconversion -Wsign-conversion -Wnull-dereference
  -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough -Werror=return-type)
if(KESTROVA_WERROR)
  target_compile_options(ov_warnings INTERFACE -Werror)
endif()

# Declares a library of the program: ov_library(name SOURCES ... DEPS ...).
# Files ending in _win.cc are compiled only for Windows, _posix.cc only elsewhere.
function(ov_filter_platform out)
  set(result)
  foreach(src IN LISTS ARGN)
    if(src MATCHES "_win\\.(cc|c)$" AND NOT WIN32)
      continue()
    endif()
    if(src MATCHES "_posix\\.(cc|c)$" AND WIN32)
      continue()
    endif()
    list(APPEND result ${src})
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()
