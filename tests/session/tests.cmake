# The connection's handshake end to end under Wine and Xvfb (MinGW build only):
# KEBviewer.exe against the scripted test server, TigerVNC's Xvnc and x11vnc, and the
# task dialogs and dialog helpers of the shell, driven through the tests/wine harness.
if(WIN32)
  set(KEB_SESSION_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})

  # GoogleTest program of the dialog helpers; it needs a display, so the harness runs it.
  add_executable(session_dialogs ${KEB_SESSION_TESTS_DIR}/DialogHelpersTest.cpp)
  target_link_libraries(session_dialogs PRIVATE kebshell keb::gtest_main)

  find_program(KEB_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
  file(GLOB keb_session_tests CONFIGURE_DEPENDS ${KEB_SESSION_TESTS_DIR}/test_*.py)
  foreach(file ${keb_session_tests})
    get_filename_component(name ${file} NAME_WE)
    add_test(NAME session_${name}
             COMMAND ${KEB_PYTHON3} -m pytest -q -p no:cacheprovider -o console_output_style=classic ${file})
    set_tests_properties(session_${name} PROPERTIES
      TIMEOUT 600
      LABELS wine
      ENVIRONMENT "KEB_SOURCE_DIR=${CMAKE_SOURCE_DIR};KEB_BINARY_DIR=${CMAKE_BINARY_DIR};KEB_VIEWER_EXE=$<TARGET_FILE:KEBviewer>;KEB_KEBDRIVE_EXE=$<TARGET_FILE:kebdrive>;KEB_SESSION_DIALOGS_EXE=$<TARGET_FILE:session_dialogs>")
  endforeach()
endif()
