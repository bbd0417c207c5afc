# BoringSSL's libcrypto for the Windows build, compiled from Debian's source package
# (android-platform-external-boringssl, the same revision the Linux build links) without assembly.
# scripts/install-deps unpacks the source under third_party/; the library is built once per
# build tree and reused by every later build.
set(OV_BORINGSSL_SRC ${CMAKE_SOURCE_DIR}/third_party/boringssl-src/tree)
if(NOT EXISTS ${OV_BORINGSSL_SRC}/android-sources.cmake)
  message(FATAL_ERROR "BoringSSL source not found in ${OV_BORINGSSL_SRC}: run scripts/install-deps")
endif()
set(BORINGSSL_ROOT ${OV_BORINGSSL_SRC}/)
include(${OV_BORINGSSL_SRC}/android-sources.cmake)
add_library(boringssl_crypto STATIC ${crypto_sources})
target_include_directories(boringssl_crypto SYSTEM PUBLIC ${OV_BORINGSSL_SRC}/src/include)
target_include_directories(boringssl_crypto PRIVATE ${OV_BORINGSSL_SRC}/src/crypto)
target_compile_definitions(boringssl_crypto PUBLIC OPENSSL_NO_ASM PRIVATE BORINGSSL_IMPLEMENTATION)
target_compile_options(boringssl_crypto PRIVATE -w $<$<COMPILE_LANGUAGE:C>:-std=gnu11>)
target_link_libraries(boringssl_crypto PUBLIC ws2_32 pthread)
