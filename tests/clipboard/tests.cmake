# The clipboard and the text chat end to end under Wine and Xvfb (MinGW build only):
# KEBviewer.exe against TigerVNC's Xvnc and x11vnc (their X clipboards through xclip) and the
# scripted test server (extended clipboard and chat); kebclip.exe reads and sets the Windows
# clipboard of the test's Wine session.
if(WIN32)
  set(KEB_CLIPBOARD_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})
  add_executable(kebclip ${KEB_CLIPBOARD_TESTS_DIR}/kebclip.cpp)
  target_link_libraries(kebclip PRIVATE user32 kernel32)
  set_target_properties(kebclip PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})

  find_program(KEB_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
  file(GLOB keb_clipboard_tests CONFIGURE_DEPENDS ${KEB_CLIPBOARD_TESTS_DIR}/test_*.py)
  foreach(file ${keb_clipboard_tests})
    get_filename_component(name ${file} NAME_WE)
    add_test(NAME clipboard_${name}
             COMMAND ${KEB_PYTHON3} -m pytest -q -p no:cacheprovider -o console_output_style=classic ${file})
    set_tests_properties(clipboard_${name} PROPERTIES
      TIMEOUT 600
      LABELS wine
      ENVIRONMENT "KEB_SOURCE_DIR=${CMAKE_SOURCE_DIR};KEB_BINARY_DIR=${CMAKE_BINARY_DIR};KEB_VIEWER_EXE=$<TARGET_FILE:KEBviewer>;KEB_KEBDRIVE_EXE=$<TARGET_FILE:kebdrive>;KEB_KEBCLIP_EXE=$<TARGET_FILE:kebclip>")
  endforeach()
endif()
