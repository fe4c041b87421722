# th_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>]
#             [TEST_FILTER <gtest filter>])
# One GoogleTest program per area, run headless (offscreen Qt) by ctest, one ctest test per
# GoogleTest test; TEST_FILTER leaves some of them to a ctest test of the area's own.
#
# LABELS threads: the program starts threads of its own or of the code it tests (workers,
# servers, pools). Such programs are also built and run under ThreadSanitizer by .ci/run
# (`ctest -L threads`); the target `tests_threads` builds exactly them. A new test program
# whose code under test uses threads joins by naming the label.
#
# The target `tests_all` builds every test program and what they run (each program's own
# add_dependencies), and nothing else: scripts/test builds only that, not the benchmarks or
# the screenshot programs, which no test runs.
function(th_add_test name)
    cmake_parse_arguments(ARG "" "TEST_FILTER" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    # Shared test support (tests/support) is included as "support/...".
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_compile_definitions(${name} PRIVATE
        TH_TEST_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
        TH_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    # Every test talks to servers on 127.0.0.1 only: a proxy of the developer's environment
    # (http_proxy) must not come between them. The proxy test sets its own.
    set(properties ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
                   ENVIRONMENT_MODIFICATION "no_proxy=set:127.0.0.1,localhost")
    if(ARG_LABELS)
        list(APPEND properties LABELS "${ARG_LABELS}")
    endif()
    set(filter)
    if(ARG_TEST_FILTER)
        set(filter TEST_FILTER ${ARG_TEST_FILTER})
    endif()
    # A parameterised case is named by its test's name generator ("…/0x1g"); CMake's
    # "pretty values" would append the printed parameter instead, for a plain struct its
    # bytes ("16-byte object <…>").
    gtest_discover_tests(${name} ${filter}
        PROPERTIES ${properties}
        DISCOVERY_TIMEOUT 60
        NO_PRETTY_VALUES)
    if(NOT TARGET tests_all)
        add_custom_target(tests_all)
    endif()
    add_dependencies(tests_all ${name})
    if("threads" IN_LIST ARG_LABELS)
        if(NOT TARGET tests_threads)
            add_custom_target(tests_threads)
        endif()
        add_dependencies(tests_threads ${name})
    endif()
endfunction()
