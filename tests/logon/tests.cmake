# The logon schemes with a user name (types 112 and 113) end to end under Wine and Xvfb
# (MinGW build only): KEBviewer.exe against the scripted test server, which plays both
# schemes with its own Diffie-Hellman and DES and checks what the viewer sends.
if(WIN32)
  set(KEB_LOGON_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})
  keb_wine_pytest_files(logon ${KEB_LOGON_TESTS_DIR})
endif()
