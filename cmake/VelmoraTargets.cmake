# Helpers that keep every library and test executable built alike.

function(velmora_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra)
    # The fuzz build uses another compiler than CI, whose warnings are the ones enforced.
    if(NOT VELMORA_FUZZ)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

# velmora_library(<name> [LIBS <targets>...] [SOURCES <files>...])
# A static library from every .cpp/.h in the calling folder (not its subfolders), or from the
# files named.
function(velmora_library name)
    cmake_parse_arguments(ARG "" "" "LIBS;SOURCES" ${ARGN})
    if(ARG_SOURCES)
        set(sources ${ARG_SOURCES})
    else()
        file(GLOB sources CONFIGURE_DEPENDS
            ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/*.h
            ${CMAKE_CURRENT_SOURCE_DIR}/*.qrc)
    endif()
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_LIBS})
    velmora_warnings(${name})
    # Built eight files at a time: most of a file's compile time is the Qt and standard
    # headers it includes, so a clean build (each CI run) takes a fifth less. Helpers in
    # a file's unnamed namespace therefore need names of their own within the library.
    set_target_properties(${name} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 8)
endfunction()

# velmora_beside_drawing_program(<target>)
# The vector drawing program is looked for relative to the running program only: in the build
# tree beside it (here a link to where it was built), once installed in libexec. An executable
# that draws vector images from outside gets it beside itself.
function(velmora_beside_drawing_program target)
    add_dependencies(${target} velmora-vector-render)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E create_symlink $<TARGET_FILE:velmora-vector-render>
                $<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_NAME:velmora-vector-render>
        VERBATIM)
endfunction()

# velmora_test(<name> [GUI] [DRAWS_VECTORS] [LIBS <targets>...])
# One GoogleTest executable from every .cpp/.h in the calling folder, started inside a
# QCoreApplication (or a QApplication with GUI); DRAWS_VECTORS puts the vector drawing program
# beside it.
function(velmora_test name)
    cmake_parse_arguments(ARG "GUI;DRAWS_VECTORS" "" "LIBS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS
        ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp
        ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
    add_executable(${name} ${sources})
    if(ARG_GUI)
        set(main velmora_test_main_gui)
    else()
        set(main velmora_test_main)
    endif()
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} ${main} GTest::gmock GTest::gtest)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
    velmora_warnings(${name})
    if(ARG_DRAWS_VECTORS)
        velmora_beside_drawing_program(${name})
    endif()
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        PROPERTIES
            ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
            TIMEOUT 120)
endfunction()
