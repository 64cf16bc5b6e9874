# End-to-end tests of KEBviewer.exe under Wine and Xvfb (MinGW build only): pytest files
# in tests/wine/, driven through kebdrive.exe and the kebwine.py harness.
if(WIN32)
  set(KEB_WINE_DIR ${CMAKE_CURRENT_LIST_DIR})

  # The window driver: a console program run under the same Wine as the viewer.
  add_executable(kebdrive ${KEB_WINE_DIR}/kebdrive.cpp)
  target_link_libraries(kebdrive PRIVATE user32 shell32)

  # A resource-only language module: the program's string table with five texts changed
  # (two of start-up, three of the handshake).
  file(READ ${CMAKE_SOURCE_DIR}/resources/StringTable.inc keb_strings)
  foreach(change "50024|Quillmar Remote info (language module)" "50035|Argument error (language module)"
                 "50427|No supported authentication methods! (language module)"
                 "50454|The server's key agreement values were refused (language module): "
                 "50475|No valid sub-type (language module)")
    string(REPLACE "|" ";" change "${change}")
    list(GET change 0 id)
    list(GET change 1 text)
    string(REGEX REPLACE "KEB_STRING\\(${id}, \"[^\n]*\"\\)" "KEB_STRING(${id}, \"${text}\")" keb_strings
           "${keb_strings}")
  endforeach()
  file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/wine-lang-src/keblang_strings.inc CONTENT "${keb_strings}"
       @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/StringTable.inc)
  # The script includes the generated table: a changed table makes the module anew.
  set_source_files_properties(${KEB_WINE_DIR}/keblang_test.rc PROPERTIES OBJECT_DEPENDS
                              ${CMAKE_CURRENT_BINARY_DIR}/wine-lang-src/keblang_strings.inc)
  add_library(keblang_test MODULE ${KEB_WINE_DIR}/keblang_test.rc)
  target_include_directories(keblang_test PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/wine-lang-src)
  set_target_properties(keblang_test PROPERTIES OUTPUT_NAME keblang PREFIX "" SUFFIX ".dll" LINKER_LANGUAGE C
                        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/wine-lang)
  target_link_options(keblang_test PRIVATE -nostdlib -Wl,-e,0)

  keb_wine_pytest_files(wine ${KEB_WINE_DIR} EXTRA_ENVIRONMENT "KEB_LANG_DLL=$<TARGET_FILE:keblang_test>"
                        "KEB_PROJECT_VERSION=${PROJECT_VERSION}")
endif()
