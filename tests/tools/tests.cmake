# The fixture tests run the built command as well.
if(TARGET decode_fixtures_test AND TARGET lumigrab-decode)
  add_dependencies(decode_fixtures_test lumigrab-decode)
endif()
# Both tools' --help and --version.
if(TARGET tool_options_test AND TARGET lumigrab-decode AND TARGET lumigrab-harvest)
  add_dependencies(tool_options_test lumigrab-decode lumigrab-harvest)
  target_compile_definitions(tool_options_test PRIVATE LUMIGRAB_VERSION="${PROJECT_VERSION}")
endif()
