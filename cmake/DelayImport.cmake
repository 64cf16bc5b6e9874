# Delay-loaded system libraries for the Windows build: keb_delay_import(<dll> <var>) makes
# an import library whose functions load <dll> at their first call (through the MinGW
# runtime's __delayLoadHelper2) and sets <var> to a target that links it. Used for the
# libraries that only some connections need (TLS, certificate checks, the file dialogs):
# under Wine each of them brings its own Unix libraries (GnuTLS, Kerberos, CUPS) into
# every viewer process at start-up, a few megabytes that most sessions never use.
#
# The export list comes from the toolchain's own import library, so that every function
# the code calls is delay-loaded and none is missing.
function(keb_delay_import dll var)
  find_library(_keb_import_${dll} NAMES ${dll} NO_CACHE REQUIRED)
  set(import_lib "${_keb_import_${dll}}")
  set(def "${CMAKE_CURRENT_BINARY_DIR}/delayimp/${dll}.def")
  set(lib "${CMAKE_CURRENT_BINARY_DIR}/delayimp/lib${dll}_delay.a")
  execute_process(COMMAND ${CMAKE_NM} -g --defined-only "${import_lib}"
                  OUTPUT_VARIABLE symbols ERROR_QUIET RESULT_VARIABLE nm_result)
  if(NOT nm_result EQUAL 0)
    message(FATAL_ERROR "${CMAKE_NM} cannot read ${import_lib}")
  endif()
  string(REGEX MATCHALL " I __imp_[A-Za-z0-9_@?$]+" imports "${symbols}")
  set(text "LIBRARY ${dll}.dll\nEXPORTS\n")
  set(names)
  foreach(i ${imports})
    string(REPLACE " I __imp_" "" name "${i}")
    list(APPEND names "${name}")
  endforeach()
  list(REMOVE_DUPLICATES names)
  list(SORT names)
  foreach(name ${names})
    string(APPEND text "  ${name}\n")
  endforeach()
  file(CONFIGURE OUTPUT "${def}" CONTENT "${text}" @ONLY)
  add_custom_command(OUTPUT "${lib}"
                     COMMAND ${CMAKE_DLLTOOL} -d "${def}" -D ${dll}.dll -y "${lib}"
                     DEPENDS "${def}" VERBATIM)
  add_custom_target(keb_delay_${dll}_lib DEPENDS "${lib}")
  add_library(keb_delay_${dll} INTERFACE)
  target_link_libraries(keb_delay_${dll} INTERFACE "${lib}")
  add_dependencies(keb_delay_${dll} keb_delay_${dll}_lib)
  set(${var} keb_delay_${dll} PARENT_SCOPE)
endfunction()
