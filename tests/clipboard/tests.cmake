# The clipboard and the text chat end to end under Wine and Xvfb (MinGW build only):
# KEBviewer.exe against TigerVNC's Xvnc and x11vnc (their X clipboards through xclip) and the
# scripted test server (extended clipboard and chat); kebclip.exe reads and sets the Windows
# clipboard of the test's Wine session.
if(WIN32)
  set(KEB_CLIPBOARD_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})
  add_executable(kebclip ${KEB_CLIPBOARD_TESTS_DIR}/kebclip.cpp)
  target_link_libraries(kebclip PRIVATE keb::zlib user32 kernel32)
  set_target_properties(kebclip PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})

  keb_wine_pytest_files(clipboard ${KEB_CLIPBOARD_TESTS_DIR} EXTRA_ENVIRONMENT "KEB_KEBCLIP_EXE=$<TARGET_FILE:kebclip>")
endif()
