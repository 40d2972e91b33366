# Tests of the Ostrine_LiDAR utility functions.
#
# Each test program links the shared library itself, as an outside caller
# would, so the exported names are what is exercised.

foreach(part header_update sorting argument_checks)
  add_executable(test_${part} ${CMAKE_CURRENT_SOURCE_DIR}/test_${part}.cpp)
  target_link_libraries(test_${part} PRIVATE test_support Ostrine_LiDAR)
  target_compile_definitions(test_${part} PRIVATE
    LASDATA_DIR="${PROJECT_SOURCE_DIR}/tests/data")
  # Tests named Long* run with the long ones (ctest -L long; CI runs them).
  gtest_discover_tests(test_${part} TEST_FILTER "-Long*" PROPERTIES TIMEOUT 600)
endforeach()
add_test(NAME sorting_long COMMAND test_sorting --gtest_filter=Long*)
set_tests_properties(sorting_long PROPERTIES LABELS long TIMEOUT 600)

# A plain C11 caller: proves the header and the library are usable from C.
add_executable(library_c_caller ${CMAKE_CURRENT_SOURCE_DIR}/c_caller.c)
set_target_properties(library_c_caller PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_link_libraries(library_c_caller PRIVATE Ostrine_LiDAR)
add_test(NAME library_c_caller COMMAND library_c_caller)
