# The fake HTTPS server reads its certificates from the source tree.
if(TARGET velmora_test_support AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/FakeHttpsServer.cpp)
    target_compile_definitions(velmora_test_support PRIVATE
        VELMORA_TEST_CERTS_DIR="${CMAKE_CURRENT_SOURCE_DIR}/certs")
endif()
# The loopback image server paints its test images with QImage and gzips answers with zlib.
if(TARGET velmora_test_support AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/LoopbackImageServer.cpp)
    find_package(ZLIB REQUIRED)
    target_link_libraries(velmora_test_support PUBLIC Qt6::Gui ZLIB::ZLIB)
endif()
# The fake trackers and maker's server on one port, for trying the running app.
if(TARGET velmora_test_support AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tool/FakeTrackers.cpp AND TARGET velmora_state)
    add_executable(velmora_fake_trackers tool/FakeTrackers.cpp)
    target_link_libraries(velmora_fake_trackers PRIVATE velmora_test_support velmora_state Qt6::Network)
    target_include_directories(velmora_fake_trackers PRIVATE ${PROJECT_SOURCE_DIR})
    velmora_warnings(velmora_fake_trackers)
endif()
