# The fake HTTPS server reads its certificates from the source tree.
if(TARGET velmora_test_support AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/FakeHttpsServer.cpp)
    target_compile_definitions(velmora_test_support PRIVATE
        VELMORA_TEST_CERTS_DIR="${CMAKE_CURRENT_SOURCE_DIR}/certs")
endif()
