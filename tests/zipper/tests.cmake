# The archiver against real peers: keb_zip (a command-line front end to the archiver)
# makes archives that Debian's unzip, zipinfo, zipdetails, 7zz and Python's zipfile then
# check and extract, driven by the pytest files here. The MinGW build runs keb_zip.exe
# under Wine against the same peers.
set(KEB_ZIPPER_DIR ${CMAKE_CURRENT_LIST_DIR})
add_executable(keb_zip ${KEB_ZIPPER_DIR}/keb_zip.cpp)
target_link_libraries(keb_zip PRIVATE kebcore)

if(KEB_PYTHON3)
  if(WIN32)
    set(keb_zip_runner ${CMAKE_SOURCE_DIR}/tools/wine-run)
  else()
    set(keb_zip_runner "")
  endif()
  keb_pytest_files(zipper ${KEB_ZIPPER_DIR} LABELS zipper ENVIRONMENT "KEB_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
                   "KEB_ZIP=$<TARGET_FILE:keb_zip>" "KEB_ZIP_RUNNER=${keb_zip_runner}")
endif()
