# Resources that the Win32 shell tests need: the dialog templates of the dialogs they drive.
if(WIN32 AND TARGET win32_options)
  target_sources(win32_options PRIVATE ${CMAKE_CURRENT_LIST_DIR}/options/OptionsDialogTest.rc)
  target_include_directories(win32_options PRIVATE ${CMAKE_SOURCE_DIR}/resources)
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/options/OptionsDialogTest.rc PROPERTIES OBJECT_DEPENDS
    "${CMAKE_SOURCE_DIR}/resources/options_dialog.rc;${CMAKE_SOURCE_DIR}/resources/resource.h")
endif()
