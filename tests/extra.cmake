# Window tests: built when the window is (Qt 6 Widgets found), run on Qt's offscreen platform.
if(TARGET morvellan_form)
  file(GLOB app_test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/app/*.cpp)
  add_executable(app_tests ${app_test_sources})
  target_include_directories(app_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(app_tests PRIVATE morvellan_form GTest::gtest GTest::gmock)
  target_compile_definitions(app_tests PRIVATE
    MORVELLAN_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    MORVELLAN_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data")
  gtest_discover_tests(app_tests DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300 ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endif()

# Command-line tests: the built morvellan-cli run as a process.
if(TARGET morvellan-cli)
  morvellan_test_program(cli_tests cli)
  target_compile_definitions(cli_tests PRIVATE MORVELLAN_CLI="$<TARGET_FILE:morvellan-cli>")
  add_dependencies(cli_tests morvellan-cli)
endif()
