# Login and authentication as the search user. The random source is its own
# tiny target so that tests can link a scripted source instead of it.
add_library(ndsauth_random STATIC random.cpp)
target_link_libraries(ndsauth_random PUBLIC wrenacl_runtime)

add_library(ndsauth STATIC envelope.cpp login.cpp proof.cpp auth.cpp)
target_link_libraries(ndsauth PUBLIC ncpclient keyrecord nwcrypto mparith wrenacl_runtime
                      ndsauth_random)
