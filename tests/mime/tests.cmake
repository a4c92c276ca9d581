# SHA-256 is checked against OpenSSL's, which only the transport links.
if(TARGET sha256_test)
  target_link_libraries(sha256_test PRIVATE OpenSSL::Crypto)
endif()
