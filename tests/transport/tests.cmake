# The TLS tests run an OpenSSL server of their own.
if(TARGET kttls_test)
  target_link_libraries(kttls_test PRIVATE OpenSSL::SSL OpenSSL::Crypto)
endif()
# The inflater's tests make their streams with zlib.
if(TARGET ktcompress_test)
  target_link_libraries(ktcompress_test PRIVATE ZLIB::ZLIB)
endif()
