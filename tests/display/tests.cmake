# The viewer window end to end under Wine and Xvfb (MinGW build only): KEBviewer.exe shows
# the desktops of TigerVNC's Xvnc, of x11vnc and of the scripted test server, compared pixel
# by pixel with what the servers hold, in every encoding at 32, 16 and 8 bits per pixel;
# resizes, the cursor, server messages, hostile streams, and closing.
if(WIN32)
  set(KEB_DISPLAY_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})
  find_program(KEB_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
  file(GLOB keb_display_tests CONFIGURE_DEPENDS ${KEB_DISPLAY_TESTS_DIR}/test_*.py)
  foreach(file ${keb_display_tests})
    get_filename_component(name ${file} NAME_WE)
    add_test(NAME display_${name}
             COMMAND ${KEB_PYTHON3} -m pytest -q -p no:cacheprovider -o console_output_style=classic ${file})
    set_tests_properties(display_${name} PROPERTIES
      TIMEOUT 600
      LABELS wine
      ENVIRONMENT "KEB_SOURCE_DIR=${CMAKE_SOURCE_DIR};KEB_BINARY_DIR=${CMAKE_BINARY_DIR};KEB_VIEWER_EXE=$<TARGET_FILE:KEBviewer>;KEB_KEBDRIVE_EXE=$<TARGET_FILE:kebdrive>")
  endforeach()
endif()
