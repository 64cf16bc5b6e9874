# VeNCrypt end to end under Wine and Xvfb (MinGW build only): KEBviewer.exe against
# TigerVNC's Xvnc with an openssl-made certificate (X509None, X509Vnc) and against the
# scripted server's VeNCrypt side (Python's ssl).
if(WIN32)
  set(KEB_VENCRYPT_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})
  find_program(KEB_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
  file(GLOB keb_vencrypt_tests CONFIGURE_DEPENDS ${KEB_VENCRYPT_TESTS_DIR}/test_*.py)
  foreach(file ${keb_vencrypt_tests})
    get_filename_component(name ${file} NAME_WE)
    add_test(NAME vencrypt_${name}
             COMMAND ${KEB_PYTHON3} -m pytest -q -p no:cacheprovider -o console_output_style=classic ${file})
    set_tests_properties(vencrypt_${name} PROPERTIES
      TIMEOUT 600
      LABELS wine
      ENVIRONMENT "KEB_SOURCE_DIR=${CMAKE_SOURCE_DIR};KEB_BINARY_DIR=${CMAKE_BINARY_DIR};KEB_VIEWER_EXE=$<TARGET_FILE:KEBviewer>;KEB_KEBDRIVE_EXE=$<TARGET_FILE:kebdrive>")
  endforeach()
endif()
