# VeNCrypt end to end under Wine and Xvfb (MinGW build only): KEBviewer.exe against
# TigerVNC's Xvnc with an openssl-made certificate (X509None, X509Vnc) and against the
# scripted server's VeNCrypt side (Python's ssl).
if(WIN32)
  set(KEB_VENCRYPT_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})
  keb_wine_pytest_files(vencrypt ${KEB_VENCRYPT_TESTS_DIR})
endif()
