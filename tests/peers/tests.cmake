# The viewer's decoders against real RFB servers (Debian's Xvnc, x11vnc and a small
# libvncserver program) and against the scripted test server, natively: kebdecode_dump
# is a minimal RFB 3.8 client around the core's decoders, driven by pytest files here.
if(NOT WIN32)
  set(KEB_PEERS_DIR ${CMAKE_CURRENT_LIST_DIR})
  add_executable(kebdecode_dump ${KEB_PEERS_DIR}/kebdecode_dump.cpp)
  target_link_libraries(kebdecode_dump PRIVATE kebcore keb::gtest)

  find_library(KEB_VNCSERVER_LIB vncserver)
  if(KEB_VNCSERVER_LIB AND KEB_PYTHON3)
    add_executable(libvnc_server ${KEB_PEERS_DIR}/libvnc_server.c)
    target_link_libraries(libvnc_server PRIVATE ${KEB_VNCSERVER_LIB})
    keb_pytest_files(peers ${KEB_PEERS_DIR} LABELS peers ENVIRONMENT "KEB_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
                     "KEB_DECODE_DUMP=$<TARGET_FILE:kebdecode_dump>" "KEB_LIBVNC_SERVER=$<TARGET_FILE:libvnc_server>")
  else()
    message(WARNING "libvncserver-dev or /usr/bin/python3 missing: the peer tests are not built")
  endif()
endif()
