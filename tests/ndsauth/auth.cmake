# Login and authentication. The scripted random source and the scripted
# directory (fakes.cpp) are linked in place of the operating system's
# generator and the NDS fragment layer; the real request buffer and verbs run
# on top of them. OpenSSL is the independent oracle for RSA and RC2.
add_executable(test_ndsauth_auth
  envelope_test.cpp proof_test.cpp login_test.cpp
  oracle.cpp fakes.cpp directory.cpp)
target_link_libraries(test_ndsauth_auth PRIVATE ndsauth OpenSSL::Crypto GTest::gtest_main)
gtest_discover_tests(test_ndsauth_auth DISCOVERY_TIMEOUT 60)

# The production random source on its own.
add_executable(test_ndsauth_random random_test.cpp)
target_link_libraries(test_ndsauth_random PRIVATE ndsauth_random GTest::gtest_main)
gtest_discover_tests(test_ndsauth_random)
