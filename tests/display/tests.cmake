# The viewer window end to end under Wine and Xvfb (MinGW build only): KEBviewer.exe shows
# the desktops of TigerVNC's Xvnc, of x11vnc and of the scripted test server, compared pixel
# by pixel with what the servers hold, in every encoding at 32, 16 and 8 bits per pixel;
# resizes, the cursor, server messages, hostile streams, and closing.
if(WIN32)
  set(KEB_DISPLAY_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})
  keb_wine_pytest_files(display ${KEB_DISPLAY_TESTS_DIR})
endif()
