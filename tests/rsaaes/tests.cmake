# The RSA-AES security types end to end under Wine and Xvfb (MinGW build only):
# KEBviewer.exe against the scripted server's RSA-AES side (pycryptodome), through the
# identity prompt and the authentication dialog.
if(WIN32)
  set(KEB_RSAAES_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})
  keb_wine_pytest_files(rsaaes ${KEB_RSAAES_TESTS_DIR})
endif()
