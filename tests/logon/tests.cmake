# The logon schemes with a user name (types 112 and 113) end to end under Wine and Xvfb
# (MinGW build only): KEBviewer.exe against the scripted test server, which plays both
# schemes with its own Diffie-Hellman and DES and checks what the viewer sends.
if(WIN32)
  set(KEB_LOGON_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})
  find_program(KEB_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
  file(GLOB keb_logon_tests CONFIGURE_DEPENDS ${KEB_LOGON_TESTS_DIR}/test_*.py)
  foreach(file ${keb_logon_tests})
    get_filename_component(name ${file} NAME_WE)
    add_test(NAME logon_${name}
             COMMAND ${KEB_PYTHON3} -m pytest -q -p no:cacheprovider -o console_output_style=classic ${file})
    set_tests_properties(logon_${name} PROPERTIES
      TIMEOUT 600
      LABELS wine
      ENVIRONMENT "KEB_SOURCE_DIR=${CMAKE_SOURCE_DIR};KEB_BINARY_DIR=${CMAKE_BINARY_DIR};KEB_VIEWER_EXE=$<TARGET_FILE:KEBviewer>;KEB_KEBDRIVE_EXE=$<TARGET_FILE:kebdrive>")
  endforeach()
endif()
