# The session dialog, connection files, the recent-host list, the option pages, the About
# box and the information dialog end to end under Wine and Xvfb (MinGW build only), driven
# through the tests/wine harness as a person would, against the scripted test server.
if(WIN32)
  set(KEB_DIALOGS_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})
  find_program(KEB_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
  file(GLOB keb_dialogs_tests CONFIGURE_DEPENDS ${KEB_DIALOGS_TESTS_DIR}/test_*.py)
  foreach(file ${keb_dialogs_tests})
    get_filename_component(name ${file} NAME_WE)
    add_test(NAME dialogs_${name}
             COMMAND ${KEB_PYTHON3} -m pytest -q -p no:cacheprovider -o console_output_style=classic ${file})
    set_tests_properties(dialogs_${name} PROPERTIES
      TIMEOUT 600
      LABELS wine
      ENVIRONMENT "KEB_SOURCE_DIR=${CMAKE_SOURCE_DIR};KEB_BINARY_DIR=${CMAKE_BINARY_DIR};KEB_VIEWER_EXE=$<TARGET_FILE:KEBviewer>;KEB_KEBDRIVE_EXE=$<TARGET_FILE:kebdrive>")
  endforeach()
endif()
