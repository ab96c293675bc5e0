# `make install` (cmake --install): the tool and the companion programs
# built here into PREFIX/bin, the README into PREFIX/share/doc, and a manual
# page for each companion made by help2man from its --help and --version
# when help2man is installed (scripts/install-deps --man).
include(GNUInstallDirs)

set(SKARNOVELT_PROGRAMS skarnovelt_v2)
foreach(program dem_gdal dem_budget dem_coreg dem_change demgen dempicture)
  if(TARGET ${program})
    list(APPEND SKARNOVELT_PROGRAMS ${program})
  endif()
endforeach()
install(TARGETS ${SKARNOVELT_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

find_program(HELP2MAN help2man)
if(HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
  # The companions answer --help and --version; the interactive tool is a
  # dialogue and has its manual in the README.
  set(pages)
  foreach(program IN LISTS SKARNOVELT_PROGRAMS)
    if(NOT program STREQUAL "skarnovelt_v2")
      set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1)
      add_custom_command(OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
        COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1 --output=${page} $<TARGET_FILE:${program}>
        DEPENDS ${program}
        COMMENT "Manual page of ${program}"
        VERBATIM)
      list(APPEND pages ${page})
    endif()
  endforeach()
  add_custom_target(manual_pages ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man not found: no manual pages (scripts/install-deps --man)")
endif()
