# th_add_test(<name> SOURCES <files...> LIBS <targets...>)
# One GoogleTest program per area, run headless (offscreen Qt) by ctest.
function(th_add_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    # Shared test support (tests/support) is included as "support/...".
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_compile_definitions(${name} PRIVATE
        TH_TEST_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
        TH_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    gtest_discover_tests(${name}
        PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
        DISCOVERY_TIMEOUT 60)
endfunction()
