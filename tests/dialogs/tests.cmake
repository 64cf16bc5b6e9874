# The session dialog, connection files, the recent-host list, the option pages, the About
# box and the information dialog end to end under Wine and Xvfb (MinGW build only), driven
# through the tests/wine harness as a person would, against the scripted test server.
if(WIN32)
  set(KEB_DIALOGS_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})
  keb_wine_pytest_files(dialogs ${KEB_DIALOGS_TESTS_DIR})
endif()
