# Password authentication end to end under Wine and Xvfb (MinGW build only): KEBviewer.exe
# against the scripted test server, x11vnc and Xvnc with VNC passwords, the password dialog
# typed into as a person would; and the authentication dialogs' own test program.
if(WIN32)
  set(KEB_SECURITY_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})

  # GoogleTest program of the authentication dialogs; it needs a display, so the harness runs it.
  add_executable(security_dialogs ${KEB_SECURITY_TESTS_DIR}/AuthDialogTest.cpp
                                  ${KEB_SECURITY_TESTS_DIR}/security_dialogs.rc)
  target_link_libraries(security_dialogs PRIVATE kebshell keb::gtest_main)
  target_include_directories(security_dialogs PRIVATE ${CMAKE_SOURCE_DIR})
  set_source_files_properties(${KEB_SECURITY_TESTS_DIR}/security_dialogs.rc PROPERTIES
    OBJECT_DEPENDS "${CMAKE_SOURCE_DIR}/resources/auth_dialogs.rc;${CMAKE_SOURCE_DIR}/resources/resource.h")

  find_program(KEB_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
  file(GLOB keb_security_tests CONFIGURE_DEPENDS ${KEB_SECURITY_TESTS_DIR}/test_*.py)
  foreach(file ${keb_security_tests})
    get_filename_component(name ${file} NAME_WE)
    add_test(NAME security_${name}
             COMMAND ${KEB_PYTHON3} -m pytest -q -p no:cacheprovider -o console_output_style=classic ${file})
    set_tests_properties(security_${name} PROPERTIES
      TIMEOUT 600
      LABELS wine
      ENVIRONMENT "KEB_SOURCE_DIR=${CMAKE_SOURCE_DIR};KEB_BINARY_DIR=${CMAKE_BINARY_DIR};KEB_VIEWER_EXE=$<TARGET_FILE:KEBviewer>;KEB_KEBDRIVE_EXE=$<TARGET_FILE:kebdrive>;KEB_SECURITY_DIALOGS_EXE=$<TARGET_FILE:security_dialogs>")
  endforeach()
endif()
