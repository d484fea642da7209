# Inputs that once broke a fuzz target, replayed in the ordinary build by plain drivers (no clang needed).
set(EFSH_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})
if(NOT TARGET efsh_fuzz_support)
  add_library(efsh_fuzz_support STATIC ${EFSH_FUZZ_DIR}/fuzz_support.cpp ${EFSH_FUZZ_DIR}/fuzz_images.cpp)
  target_link_libraries(efsh_fuzz_support PUBLIC efsh_core efsh_imgb)
endif()
if(COMMAND efsh_test_warnings)
  efsh_test_warnings(efsh_fuzz_support)
endif()

foreach(target volume fs shell getopt)
  add_executable(fuzz_${target}_regress ${EFSH_FUZZ_DIR}/fuzz_${target}.cpp ${EFSH_FUZZ_DIR}/regression_main.cpp)
  target_link_libraries(fuzz_${target}_regress PRIVATE efsh_fuzz_support)
  add_test(NAME fuzz_regressions_${target}
           COMMAND fuzz_${target}_regress ${EFSH_FUZZ_DIR}/regressions/${target})
  set_tests_properties(fuzz_regressions_${target} PROPERTIES TIMEOUT 120)
endforeach()

# The mount's requests replay the file system target's inputs as well as their own.
if(TARGET efsh_mount_core)
  add_executable(fuzz_mount_regress ${EFSH_FUZZ_DIR}/fuzz_mount.cpp ${EFSH_FUZZ_DIR}/regression_main.cpp)
  target_link_libraries(fuzz_mount_regress PRIVATE efsh_fuzz_support efsh_mount_core)
  add_test(NAME fuzz_regressions_mount
           COMMAND fuzz_mount_regress ${EFSH_FUZZ_DIR}/regressions/fs ${EFSH_FUZZ_DIR}/regressions/mount)
  set_tests_properties(fuzz_regressions_mount PROPERTIES TIMEOUT 120)
endif()
