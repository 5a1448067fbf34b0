# The request loop over hostile standard input: line splitting, over-long
# lines, NUL bytes, CR, percent decoding and the group comparison, with the
# directory calls replaced at link time. The front-end sources are compiled
# into the target so that the fuzzer sees their coverage.
set(frontend_fuzz_sources
  ${PROJECT_SOURCE_DIR}/frontend/progname.cpp
  ${PROJECT_SOURCE_DIR}/frontend/config.cpp
  ${PROJECT_SOURCE_DIR}/frontend/log.cpp
  ${PROJECT_SOURCE_DIR}/frontend/percent.cpp
  ${PROJECT_SOURCE_DIR}/frontend/request.cpp
  ${PROJECT_SOURCE_DIR}/frontend/linereader.cpp
  ${PROJECT_SOURCE_DIR}/frontend/requestloop.cpp
  ${PROJECT_SOURCE_DIR}/frontend/connection.cpp
  ${PROJECT_SOURCE_DIR}/frontend/groupcheck.cpp)
wrenacl_fuzzer(frontend_loop ${CMAKE_CURRENT_SOURCE_DIR}/frontend_loop_fuzz.cpp
  ${frontend_fuzz_sources})
target_link_libraries(fuzz_frontend_loop PRIVATE wrenacl_runtime)
