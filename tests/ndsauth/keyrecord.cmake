add_executable(test_keyrecord ${CMAKE_CURRENT_LIST_DIR}/keyrecord_test.cpp)
target_link_libraries(test_keyrecord PRIVATE keyrecord wrenacl_testbytes GTest::gtest_main)
wrenacl_discover_tests(test_keyrecord)
