# Included from relay/CMakeLists.txt.
add_library(ov_release STATIC ${CMAKE_CURRENT_LIST_DIR}/release_core.cc)
target_include_directories(ov_release PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/native)
target_link_libraries(ov_release PUBLIC ov_update_format OpenSSL::Crypto PRIVATE ov_warnings)

add_executable(kestrova-release ${CMAKE_CURRENT_LIST_DIR}/main.cc)
target_include_directories(kestrova-release SYSTEM PRIVATE ${OV_CLI11_INCLUDE})
target_link_libraries(kestrova-release PRIVATE ov_release ov_warnings)
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/main.cc PROPERTIES COMPILE_OPTIONS -Wno-null-dereference)

if(KESTROVA_TESTS AND TARGET ov_update AND TARGET ov_net_testing)
  # Publishes with the core built on BoringSSL (never OpenSSL beside the program's libraries),
  # then the program's updater checks and downloads through a kestrova-relay process.
  ov_add_test(ov_release_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/release_test.cc ${CMAKE_CURRENT_LIST_DIR}/release_core.cc
            ${PROJECT_SOURCE_DIR}/native/app/testing/relay_process_posix.cc
    LIBS ov_update ov_net_testing boringssl_crypto
    TIMEOUT 300)
  target_include_directories(ov_release_test PRIVATE ${PROJECT_SOURCE_DIR})
  add_dependencies(ov_release_test kestrova-relay kestrova-release)
  target_compile_definitions(ov_release_test PRIVATE
    OV_RELAY_BINARY="$<TARGET_FILE:kestrova-relay>" OV_RELEASE_BINARY="$<TARGET_FILE:kestrova-release>")
endif()
