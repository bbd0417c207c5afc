# Third-party dependencies, all from Debian packages (see scripts/install-deps).

# nlohmann/json: header-only. The cross build cannot put /usr/include on its path (Linux headers),
# so it sees the one folder through a link in the build tree.
set(OV_NLOHMANN_ROOT ${CMAKE_BINARY_DIR}/_deps/nlohmann-include)
if(NOT EXISTS ${OV_NLOHMANN_ROOT}/nlohmann/json.hpp)
  if(NOT EXISTS /usr/include/nlohmann/json.hpp)
    message(FATAL_ERROR "nlohmann/json.hpp not found: run scripts/install-deps")
  endif()
  file(MAKE_DIRECTORY ${OV_NLOHMANN_ROOT})
  file(CREATE_LINK /usr/include/nlohmann ${OV_NLOHMANN_ROOT}/nlohmann SYMBOLIC)
endif()
add_library(ov_json INTERFACE)
target_include_directories(ov_json SYSTEM INTERFACE ${OV_NLOHMANN_ROOT})
target_compile_definitions(ov_json INTERFACE JSON_USE_IMPLICIT_CONVERSIONS=0)

# GoogleTest from its packaged sources, so both builds (and the sanitizer build) compile it alike.
if(KESTROVA_TESTS)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
endif()

# BoringSSL. Linux: Debian's shared build (its own include folder, so it never meets OpenSSL's
# headers). Windows: libcrypto compiled from Debian's source package with mingw-w64.
if(WIN32)
  include(cmake/boringssl-windows.cmake)
  include(cmake/libjpeg-turbo-windows.cmake)
else()
  find_library(OV_BORINGSSL_CRYPTO NAMES crypto PATHS /usr/lib/x86_64-linux-gnu/android NO_DEFAULT_PATH REQUIRED)
  find_library(OV_BORINGSSL_SSL NAMES ssl PATHS /usr/lib/x86_64-linux-gnu/android NO_DEFAULT_PATH REQUIRED)
  add_library(boringssl_crypto SHARED IMPORTED GLOBAL)
  set_target_properties(boringssl_crypto PROPERTIES
    IMPORTED_LOCATION ${OV_BORINGSSL_CRYPTO}
    INTERFACE_INCLUDE_DIRECTORIES /usr/include/android)
  add_library(boringssl_ssl SHARED IMPORTED GLOBAL)
  set_target_properties(boringssl_ssl PROPERTIES
    IMPORTED_LOCATION ${OV_BORINGSSL_SSL}
    INTERFACE_INCLUDE_DIRECTORIES /usr/include/android
    INTERFACE_LINK_LIBRARIES boringssl_crypto)
  find_package(Threads REQUIRED)
endif()
