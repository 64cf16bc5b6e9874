# File transfer end to end: keb_ftpeer (the viewer's file-transfer protocol over a real
# session) against the scripted server's file-transfer side on loopback: listings,
# downloads and uploads (raw, compressed, resumed), and folders as ZIP archives checked
# with Python's zipfile. The MinGW build runs keb_ftpeer.exe under Wine.
set(KEB_FT_TEST_DIR ${CMAKE_CURRENT_LIST_DIR})
add_executable(keb_ftpeer ${KEB_FT_TEST_DIR}/keb_ftpeer.cpp)
target_link_libraries(keb_ftpeer PRIVATE kebcore)

if(KEB_PYTHON3)
  if(WIN32)
    set(keb_ftpeer_command "${CMAKE_SOURCE_DIR}/tools/wine-run $<TARGET_FILE:keb_ftpeer>")
    set(keb_ftpeer_wine 1)
  else()
    set(keb_ftpeer_command "$<TARGET_FILE:keb_ftpeer>")
    set(keb_ftpeer_wine 0)
  endif()
  keb_pytest_files(filetransfer ${KEB_FT_TEST_DIR} WORKING_DIRECTORY ${KEB_FT_TEST_DIR} LABELS filetransfer
                   ENVIRONMENT "KEB_FTPEER=${keb_ftpeer_command}" "KEB_UNDER_WINE=${keb_ftpeer_wine}")
endif()

# The file-transfer window of KEBviewer.exe under Wine and Xvfb (MinGW build only), against
# the same scripted server: opened from the system menu, a download and an upload compared
# byte for byte, a server that refuses access.
if(WIN32)
  keb_wine_pytest_files(filetransfer ${KEB_FT_TEST_DIR}/window WORKING_DIRECTORY ${KEB_FT_TEST_DIR}/window
                        LABELS wine filetransfer)
endif()
