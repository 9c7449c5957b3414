# Every subsystem folder is one library named veltro_<folder>, built from the .cpp files
# it holds, so adding a file needs no edit here. A folder without sources yet is a
# header-only (interface) library.
function(veltro_library name)
    cmake_parse_arguments(ARG "" "" "DEPENDS;DEFINITIONS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    list(FILTER sources EXCLUDE REGEX ".*/main\\.cpp$")
    if(sources)
        add_library(veltro_${name} STATIC ${sources})
        target_include_directories(veltro_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
        target_link_libraries(veltro_${name} PUBLIC ${ARG_DEPENDS})
        target_compile_definitions(veltro_${name} PUBLIC ${ARG_DEFINITIONS})
    else()
        add_library(veltro_${name} INTERFACE)
        target_include_directories(veltro_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
        target_link_libraries(veltro_${name} INTERFACE ${ARG_DEPENDS})
        target_compile_definitions(veltro_${name} INTERFACE ${ARG_DEFINITIONS})
    endif()
endfunction()

# One test program per subsystem folder under tests/, from every .cpp file there.
function(veltro_tests name)
    cmake_parse_arguments(ARG "RUNS_PROGRAMS" "" "DEPENDS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    if(NOT sources)
        return()
    endif()
    add_executable(${name}_tests ${sources})
    target_include_directories(${name}_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${name}_tests PRIVATE ${ARG_DEPENDS} GTest::gmock GTest::gtest_main)
    gtest_discover_tests(${name}_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
    # End-to-end tests run the real agent and command of this build.
    if(ARG_RUNS_PROGRAMS AND TARGET veltro-terminal-helper AND TARGET veltro-terminal)
        target_compile_definitions(${name}_tests PRIVATE
            VELTRO_HELPER_PATH="$<TARGET_FILE:veltro-terminal-helper>"
            VELTRO_TERMINAL_PATH="$<TARGET_FILE:veltro-terminal>")
        add_dependencies(${name}_tests veltro-terminal-helper veltro-terminal)
    endif()
endfunction()
