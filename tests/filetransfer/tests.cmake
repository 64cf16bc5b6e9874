# File transfer end to end: keb_ftpeer (the viewer's file-transfer protocol over a real
# session) against the scripted server's file-transfer side on loopback: listings,
# downloads and uploads (raw, compressed, resumed), and folders as ZIP archives checked
# with Python's zipfile. The MinGW build runs keb_ftpeer.exe under Wine.
set(KEB_FT_TEST_DIR ${CMAKE_CURRENT_LIST_DIR})
add_executable(keb_ftpeer ${KEB_FT_TEST_DIR}/keb_ftpeer.cpp)
target_link_libraries(keb_ftpeer PRIVATE kebcore)

find_program(KEB_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(KEB_PYTHON3)
  if(WIN32)
    set(keb_ftpeer_command "${CMAKE_SOURCE_DIR}/tools/wine-run $<TARGET_FILE:keb_ftpeer>")
    set(keb_ftpeer_wine 1)
  else()
    set(keb_ftpeer_command "$<TARGET_FILE:keb_ftpeer>")
    set(keb_ftpeer_wine 0)
  endif()
  file(GLOB keb_ft_tests CONFIGURE_DEPENDS ${KEB_FT_TEST_DIR}/test_*.py)
  foreach(file ${keb_ft_tests})
    get_filename_component(name ${file} NAME_WE)
    add_test(NAME filetransfer_${name}
             COMMAND ${KEB_PYTHON3} -m pytest -q -p no:cacheprovider -o console_output_style=classic ${file}
             WORKING_DIRECTORY ${KEB_FT_TEST_DIR})
    set_tests_properties(filetransfer_${name} PROPERTIES
      TIMEOUT 600
      LABELS filetransfer
      ENVIRONMENT "KEB_FTPEER=${keb_ftpeer_command};KEB_UNDER_WINE=${keb_ftpeer_wine}")
  endforeach()
endif()

# The file-transfer window of KEBviewer.exe under Wine and Xvfb (MinGW build only), against
# the same scripted server: opened from the system menu, a download and an upload compared
# byte for byte, a server that refuses access.
if(WIN32 AND KEB_PYTHON3)
  file(GLOB keb_ft_window_tests CONFIGURE_DEPENDS ${KEB_FT_TEST_DIR}/window/test_*.py)
  foreach(file ${keb_ft_window_tests})
    get_filename_component(name ${file} NAME_WE)
    add_test(NAME filetransfer_${name}
             COMMAND ${KEB_PYTHON3} -m pytest -q -p no:cacheprovider -o console_output_style=classic ${file}
             WORKING_DIRECTORY ${KEB_FT_TEST_DIR}/window)
    set_tests_properties(filetransfer_${name} PROPERTIES
      TIMEOUT 600
      LABELS "wine;filetransfer"
      ENVIRONMENT "KEB_SOURCE_DIR=${CMAKE_SOURCE_DIR};KEB_BINARY_DIR=${CMAKE_BINARY_DIR};KEB_VIEWER_EXE=$<TARGET_FILE:KEBviewer>;KEB_KEBDRIVE_EXE=$<TARGET_FILE:kebdrive>")
  endforeach()
endif()
