# The extractor against real peers: keb_unzip (a command-line front end to UnzipExtract)
# unpacks archives that Info-ZIP zip, 7zz and Python's zipfile make at test time, and
# hostile archives built with Python's struct; the pytest files compare the results with
# diff -r and with Debian's unzip. The MinGW build runs keb_unzip.exe under Wine against
# the same peers.
set(KEB_UNZIP_TEST_DIR ${CMAKE_CURRENT_LIST_DIR})
add_executable(keb_unzip ${KEB_UNZIP_TEST_DIR}/keb_unzip.cpp)
target_link_libraries(keb_unzip PRIVATE kebcore)

find_program(KEB_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(KEB_PYTHON3)
  if(WIN32)
    set(keb_unzip_command "${CMAKE_SOURCE_DIR}/tools/wine-run $<TARGET_FILE:keb_unzip>")
    set(keb_unzip_wine 1)
  else()
    set(keb_unzip_command "$<TARGET_FILE:keb_unzip>")
    set(keb_unzip_wine 0)
  endif()
  file(GLOB keb_unzip_tests CONFIGURE_DEPENDS ${KEB_UNZIP_TEST_DIR}/test_*.py)
  foreach(file ${keb_unzip_tests})
    get_filename_component(name ${file} NAME_WE)
    add_test(NAME unzip_${name}
             COMMAND ${KEB_PYTHON3} -m pytest -q -p no:cacheprovider -o console_output_style=classic ${file}
             WORKING_DIRECTORY ${KEB_UNZIP_TEST_DIR})
    set_tests_properties(unzip_${name} PROPERTIES
      TIMEOUT 900
      LABELS unzip
      ENVIRONMENT "KEB_UNZIP=${keb_unzip_command};KEB_UNDER_WINE=${keb_unzip_wine}")
  endforeach()
endif()
