# What a directory server controls during the login and the authentication:
# the login start and finish replies (salt, challenge, the enciphered private
# key), the user's "Public Key" value and the authentication replies. The
# fragment layer and the random source are replaced inside the fuzz source;
# the request buffer, verbs, key records, envelopes, login, proof and
# arithmetic are the real ones, compiled into the target so that the fuzzer
# sees their coverage and the sanitizers check their memory accesses.
wrenacl_fuzzer(login
  ${CMAKE_CURRENT_SOURCE_DIR}/login_fuzz.cpp
  ${PROJECT_SOURCE_DIR}/ncpclient/ndsbuf.cpp
  ${PROJECT_SOURCE_DIR}/ncpclient/verbs.cpp
  ${PROJECT_SOURCE_DIR}/ncpclient/transport.cpp
  ${PROJECT_SOURCE_DIR}/ncpclient/connection.cpp
  ${PROJECT_SOURCE_DIR}/ndsauth/keyrecord.cpp
  ${PROJECT_SOURCE_DIR}/ndsauth/envelope.cpp
  ${PROJECT_SOURCE_DIR}/ndsauth/login.cpp
  ${PROJECT_SOURCE_DIR}/ndsauth/proof.cpp
  ${PROJECT_SOURCE_DIR}/ndsauth/auth.cpp
  ${PROJECT_SOURCE_DIR}/mparith/mpbasic.cpp
  ${PROJECT_SOURCE_DIR}/mparith/modmult.cpp
  ${PROJECT_SOURCE_DIR}/nwcrypto/nwhash.cpp
  ${PROJECT_SOURCE_DIR}/nwcrypto/rc2.cpp
  ${PROJECT_SOURCE_DIR}/nwcrypto/shuffle.cpp)
target_link_libraries(fuzz_login PRIVATE wrenacl_runtime)
