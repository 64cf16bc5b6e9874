# Snapshots and the connection-status dialog end to end under Wine and Xvfb (MinGW build
# only): a snapshot file holds what TigerVNC's Xvnc shows; the status window tells the
# host and the counters while a connection is made, and its Cancel ends the attempt.
if(WIN32)
  set(KEB_PRESENTATION_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})
  keb_wine_pytest_files(presentation ${KEB_PRESENTATION_TESTS_DIR})
endif()
