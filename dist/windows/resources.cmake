# korvath_windows_resources(<target> <description>): gives a Windows program its icon, version
# record and manifest (dist/windows/program.rc.in). The manifest replaces MinGW's default one.
set(KORVATH_WINDOWS_DIST ${CMAKE_CURRENT_LIST_DIR})

function(korvath_windows_resources target description)
  set(KORVATH_RC_NAME ${target})
  set(KORVATH_RC_FILE ${target}.exe)
  set(KORVATH_RC_DESCRIPTION ${description})
  set(KORVATH_RC_ICON ${KORVATH_WINDOWS_DIST}/korvath.ico)
  set(out ${CMAKE_BINARY_DIR}/generated/windows/${target})
  set(KORVATH_RC_MANIFEST ${out}/${target}.manifest)
  configure_file(${KORVATH_WINDOWS_DIST}/korvath.manifest ${KORVATH_RC_MANIFEST} @ONLY)
  configure_file(${KORVATH_WINDOWS_DIST}/program.rc.in ${out}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${out}/${target}.rc)
  set_property(SOURCE ${out}/${target}.rc TARGET_DIRECTORY ${target} APPEND PROPERTY
               OBJECT_DEPENDS ${KORVATH_RC_MANIFEST} ${KORVATH_RC_ICON})
endfunction()
