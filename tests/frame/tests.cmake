# The frame window end to end under Wine and Xvfb (MinGW build only): keys and clicks that
# reach the server, system-menu commands, the window's size and scroll bars for the
# framebuffer, and reconnecting after the server drops the connection.
if(WIN32)
  set(KEB_FRAME_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})
  find_program(KEB_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
  file(GLOB keb_frame_tests CONFIGURE_DEPENDS ${KEB_FRAME_TESTS_DIR}/test_*.py)
  foreach(file ${keb_frame_tests})
    get_filename_component(name ${file} NAME_WE)
    add_test(NAME frame_${name}
             COMMAND ${KEB_PYTHON3} -m pytest -q -p no:cacheprovider -o console_output_style=classic ${file})
    set_tests_properties(frame_${name} PROPERTIES
      TIMEOUT 600
      LABELS wine
      ENVIRONMENT "KEB_SOURCE_DIR=${CMAKE_SOURCE_DIR};KEB_BINARY_DIR=${CMAKE_BINARY_DIR};KEB_VIEWER_EXE=$<TARGET_FILE:KEBviewer>;KEB_KEBDRIVE_EXE=$<TARGET_FILE:kebdrive>")
  endforeach()
endif()
