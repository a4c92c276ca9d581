# The TLS tests run an OpenSSL server of their own.
if(TARGET kttls_test)
  target_link_libraries(kttls_test PRIVATE OpenSSL::SSL OpenSSL::Crypto)
endif()
