# The fixture tests run the built command as well.
if(TARGET decode_fixtures_test AND TARGET lumigrab-decode)
  add_dependencies(decode_fixtures_test lumigrab-decode)
endif()
