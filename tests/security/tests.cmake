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

  keb_wine_pytest_files(security ${KEB_SECURITY_TESTS_DIR} EXTRA_ENVIRONMENT "KEB_SECURITY_DIALOGS_EXE=$<TARGET_FILE:security_dialogs>")
endif()
