# Key records: locate, scan, check and take out the RSA keys that the
# directory hands over.
add_library(keyrecord STATIC ${CMAKE_CURRENT_LIST_DIR}/keyrecord.cpp)
target_link_libraries(keyrecord PUBLIC nwcrypto wrenacl_runtime)
