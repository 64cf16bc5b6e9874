# VeNCrypt end to end under Wine and Xvfb (MinGW build only): KEBviewer.exe against
# TigerVNC's Xvnc with an openssl-made certificate (X509None, X509Vnc), against the
# scripted server's VeNCrypt side (Python's ssl), and against the scripted server relaying
# its TLS to a real openssl s_server, with a test root made trusted in the Wine prefix by
# keb_trustroot.exe.
if(WIN32)
  set(KEB_VENCRYPT_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})
  add_executable(keb_trustroot ${KEB_VENCRYPT_TESTS_DIR}/keb_trustroot.c)
  target_link_libraries(keb_trustroot PRIVATE crypt32)
  # A client certificate with its key in the user's personal store, for the test that
  # none is sent to a server that asks.
  add_executable(keb_clientcert ${KEB_VENCRYPT_TESTS_DIR}/keb_clientcert.c)
  target_link_libraries(keb_clientcert PRIVATE crypt32)
  keb_wine_pytest_files(vencrypt ${KEB_VENCRYPT_TESTS_DIR}
    EXTRA_ENVIRONMENT "KEB_TRUSTROOT_EXE=$<TARGET_FILE:keb_trustroot>"
                      "KEB_CLIENTCERT_EXE=$<TARGET_FILE:keb_clientcert>")
endif()
