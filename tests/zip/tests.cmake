# The extractor against real peers: keb_unzip (a command-line front end to UnzipExtract)
# unpacks archives that Info-ZIP zip, 7zz and Python's zipfile make at test time, and
# hostile archives built with Python's struct; the pytest files compare the results with
# diff -r and with Debian's unzip. The MinGW build runs keb_unzip.exe under Wine against
# the same peers.
set(KEB_UNZIP_TEST_DIR ${CMAKE_CURRENT_LIST_DIR})
add_executable(keb_unzip ${KEB_UNZIP_TEST_DIR}/keb_unzip.cpp)
target_link_libraries(keb_unzip PRIVATE kebcore)

if(KEB_PYTHON3)
  if(WIN32)
    set(keb_unzip_command "${CMAKE_SOURCE_DIR}/tools/wine-run $<TARGET_FILE:keb_unzip>")
    set(keb_unzip_wine 1)
  else()
    set(keb_unzip_command "$<TARGET_FILE:keb_unzip>")
    set(keb_unzip_wine 0)
  endif()
  keb_pytest_files(unzip ${KEB_UNZIP_TEST_DIR} WORKING_DIRECTORY ${KEB_UNZIP_TEST_DIR} TIMEOUT 900 LABELS unzip
                   ENVIRONMENT "KEB_UNZIP=${keb_unzip_command}" "KEB_UNDER_WINE=${keb_unzip_wine}")
endif()
