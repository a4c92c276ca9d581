# The address dialog is the one window of the message layer.
if(TARGET msaddred_test)
  target_link_libraries(msaddred_test PRIVATE lumigrab_message_ui Qt6::Test)
endif()
