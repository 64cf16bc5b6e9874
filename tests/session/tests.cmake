# The connection's handshake end to end under Wine and Xvfb (MinGW build only):
# KEBviewer.exe against the scripted test server, TigerVNC's Xvnc and x11vnc, and the
# task dialogs and dialog helpers of the shell, driven through the tests/wine harness.
if(WIN32)
  set(KEB_SESSION_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})

  # GoogleTest program of the dialog helpers; it needs a display, so the harness runs it.
  add_executable(session_dialogs ${KEB_SESSION_TESTS_DIR}/DialogHelpersTest.cpp)
  target_link_libraries(session_dialogs PRIVATE kebshell keb::gtest_main)

  keb_wine_pytest_files(session ${KEB_SESSION_TESTS_DIR} EXTRA_ENVIRONMENT "KEB_SESSION_DIALOGS_EXE=$<TARGET_FILE:session_dialogs>")
endif()
