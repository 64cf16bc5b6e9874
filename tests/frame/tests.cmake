# The frame window end to end under Wine and Xvfb (MinGW build only): keys and clicks that
# reach the server, system-menu commands, the window's size and scroll bars for the
# framebuffer, and reconnecting after the server drops the connection.
if(WIN32)
  set(KEB_FRAME_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})
  keb_wine_pytest_files(frame ${KEB_FRAME_TESTS_DIR})
endif()
