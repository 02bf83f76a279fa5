# Installs the build into a fresh prefix and shows that the installed tree stands on its own:
# the app, its drawing program, the desktop entry and the icon are in place; no path of the build
# is compiled into the app; a program beside the app (as the app itself) draws a PDF and an SVG
# avatar through the installed drawing program, also once the tree is moved elsewhere; and with
# the drawing program taken away it draws none and says once where it looked, never looking into
# the build.
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DCHECKER=... -DBUILT_PROGRAM=... -DBINDIR=... -DLIBEXECDIR=...
#         -DDATADIR=... -P InstalledTree.cmake
foreach(variable BUILD_DIR WORK_DIR CHECKER BUILT_PROGRAM BINDIR LIBEXECDIR DATADIR)
    if(NOT ${variable})
        message(FATAL_ERROR "${variable} is not set")
    endif()
endforeach()

set(prefix ${WORK_DIR}/prefix)
set(moved ${WORK_DIR}/moved)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "cmake --install failed (${status}):\n${output}")
endif()

set(app ${BINDIR}/velmora)
set(program ${LIBEXECDIR}/velmora/velmora-vector-render)
foreach(file ${app} ${program} ${DATADIR}/applications/velmora.desktop
        ${DATADIR}/icons/hicolor/scalable/apps/velmora.svg)
    if(NOT EXISTS ${prefix}/${file})
        message(FATAL_ERROR "not installed: ${file}")
    endif()
endforeach()

# The app holds no path to the drawing program of the build: it would run whatever lay there.
execute_process(COMMAND grep -c -F ${BUILT_PROGRAM} ${prefix}/${app} OUTPUT_VARIABLE found
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT found STREQUAL "0")
    message(FATAL_ERROR "the app names the build's drawing program ${BUILT_PROGRAM}")
endif()

function(run_checker root expected_status)
    get_filename_component(name ${CHECKER} NAME)
    file(COPY ${CHECKER} DESTINATION ${root}/${BINDIR})
    execute_process(COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ${root}/${BINDIR}/${name}
                    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT status EQUAL expected_status)
        message(FATAL_ERROR "the program in ${root} ended with ${status}, not ${expected_status}:\n${output}")
    endif()
    set(output "${output}" PARENT_SCOPE)
endfunction()

function(expect_in text what)
    string(FIND "${output}" "${text}" at)
    if(at LESS 0)
        message(FATAL_ERROR "${what}:\n${output}")
    endif()
endfunction()

run_checker(${prefix} 0)
expect_in("drawing program: ${prefix}/${program}\n" "not the installed drawing program")

# Moved elsewhere, the tree still finds its own program.
file(RENAME ${prefix} ${moved})
run_checker(${moved} 0)
expect_in("drawing program: ${moved}/${program}\n" "not the moved drawing program")

# Without it, nothing is drawn, and the log says once where it was looked for.
file(REMOVE ${moved}/${program})
run_checker(${moved} 1)
string(REGEX MATCHALL "No vector drawing program" said "${output}")
list(LENGTH said times)
expect_in("${moved}/${program}" "a missing program is logged with where it was looked for")
string(FIND "${output}" "${BUILT_PROGRAM}" built)
if(NOT times EQUAL 1 OR NOT built EQUAL -1)
    message(FATAL_ERROR "a missing program is said once, naming where it was looked for:\n${output}")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
message(STATUS "installed tree: app, drawing program, desktop entry and icon in place; avatars drawn")
