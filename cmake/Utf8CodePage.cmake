# it_utf8_code_page(<target>...): on Windows, embeds the application manifest that makes UTF-8 the
# process code page (cmake/windows/utf8.manifest.in, with the project's version) into each target, so
# that the narrow (A) calls take and give UTF-8 whatever the system's ANSI code page is. Elsewhere it
# does nothing: text is UTF-8 bytes already.
function(it_utf8_code_page)
  if(NOT WIN32)
    return()
  endif()
  enable_language(RC)
  set(it_utf8_manifest ${PROJECT_BINARY_DIR}/utf8.manifest)
  set(rc ${PROJECT_BINARY_DIR}/utf8.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/utf8.manifest.in ${it_utf8_manifest} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/utf8.rc.in ${rc} @ONLY)
  foreach(target IN LISTS ARGN)
    target_sources(${target} PRIVATE ${rc})
    set_property(SOURCE ${rc} TARGET_DIRECTORY ${target} PROPERTY OBJECT_DEPENDS ${it_utf8_manifest})
  endforeach()
endfunction()
