# Encryption plug-ins: the test plug-in library in its kinds (built natively as shared
# objects for the unit tests, and with MinGW as "*.dsm" files for the tests under Wine),
# and the end-to-end tests of plug-in channels and plug-in authentication.
set(KEB_PLUGIN_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})

set(keb_testplugins "KEBTestStream|0|" "KEBTestChannel|1|" "KEBTestAuth|2|" "KEBTestNoConfig|0|KEB_TESTPLUGIN_NO_CONFIG")
set(keb_testplugin_targets)
foreach(p ${keb_testplugins})
  string(REPLACE "|" ";" p "${p}")
  list(GET p 0 name)
  list(GET p 1 kind)
  list(GET p 2 extra)
  set(target testplugin_${name})
  add_library(${target} MODULE ${KEB_PLUGIN_TESTS_DIR}/testplugin.c)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${target} PRIVATE KEB_TESTPLUGIN_KIND=${kind} ${extra})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${name} PREFIX "" C_VISIBILITY_PRESET hidden
                        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/testplugins)
  if(WIN32)
    set_target_properties(${target} PROPERTIES SUFFIX ".dsm")
    target_link_options(${target} PRIVATE -static-libgcc)
  endif()
  list(APPEND keb_testplugin_targets ${target})
endforeach()

if(TARGET unit_security)
  add_dependencies(unit_security ${keb_testplugin_targets})
  target_compile_definitions(unit_security PRIVATE
    KEB_TESTPLUGIN_DIR="${CMAKE_CURRENT_BINARY_DIR}/testplugins/"
    KEB_TESTPLUGIN_SUFFIX="$<IF:$<BOOL:${WIN32}>,.dsm,.so>")
endif()

if(WIN32)
  keb_wine_pytest_files(plugin ${KEB_PLUGIN_TESTS_DIR} EXTRA_ENVIRONMENT "KEB_TESTPLUGIN_DIR=${CMAKE_CURRENT_BINARY_DIR}/testplugins")
endif()
