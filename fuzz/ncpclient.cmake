# What a server controls in the NCP/NDS client: reply framing, fragment
# reassembly, the verbs' reply parsing, the set-up, NWUNI strings and key
# records. The client sources are compiled into each target so that the
# fuzzer sees their coverage.
set(ncpclient_fuzz_sources
  ${PROJECT_SOURCE_DIR}/ncpclient/ndsbuf.cpp
  ${PROJECT_SOURCE_DIR}/ncpclient/transport.cpp
  ${PROJECT_SOURCE_DIR}/ncpclient/connection.cpp
  ${PROJECT_SOURCE_DIR}/ncpclient/fragment.cpp
  ${PROJECT_SOURCE_DIR}/ncpclient/verbs.cpp
  ${PROJECT_SOURCE_DIR}/ncpclient/setup.cpp
  ${PROJECT_SOURCE_DIR}/ndsauth/keyrecord.cpp)
foreach(name ncpreply ndsbuf keyrecord)
  wrenacl_fuzzer(${name} ${CMAKE_CURRENT_SOURCE_DIR}/${name}_fuzz.cpp ${ncpclient_fuzz_sources})
  target_link_libraries(fuzz_${name} PRIVATE nwcrypto wrenacl_runtime)
endforeach()
