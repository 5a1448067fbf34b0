# Login and authentication. The scripted random source is linked in place of
# the operating system's generator; the login and authentication tests run
# the real client against the test directory server in this process.
# OpenSSL is the independent oracle for RSA and RC2.
add_executable(test_ndsauth_auth
  envelope_test.cpp proof_test.cpp login_test.cpp
  oracle.cpp scripted_random.cpp)
target_link_libraries(test_ndsauth_auth PRIVATE ndsauth wrenacl_testdirectory
  OpenSSL::Crypto GTest::gtest_main)
wrenacl_discover_tests(test_ndsauth_auth)

# The production random source on its own.
add_executable(test_ndsauth_random random_test.cpp)
target_link_libraries(test_ndsauth_random PRIVATE ndsauth_random GTest::gtest_main)
wrenacl_discover_tests(test_ndsauth_random)
