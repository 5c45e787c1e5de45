# Manual pages, made at build time by help2man from each program's --help
# and the sections in packaging/man/PROGRAM.h2m, installed gzip-compressed
# in section 1. Without help2man the build goes on without them.
find_program(HELP2MAN help2man)
if(NOT HELP2MAN)
  message(WARNING "help2man not found (scripts/deps installs it): the manual pages are not made")
endif()

function(vexu_man_page target summary)
  if(NOT HELP2MAN)
    return()
  endif()
  set(page ${CMAKE_BINARY_DIR}/man/${target}.1)
  set(include ${CMAKE_SOURCE_DIR}/packaging/man/${target}.h2m)
  # --help runs without a display and without the box; the sanitizer builds
  # keep their leak report to themselves.
  add_custom_command(OUTPUT ${page} ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
            ${HELP2MAN} --no-info --section=1 --version-string=${PROJECT_VERSION} --name=${summary}
            --include=${include} --output=${page} $<TARGET_FILE:${target}>
    COMMAND gzip -9nkf ${page}
    DEPENDS ${target} ${include}
    COMMENT "Manual page ${target}(1)"
    VERBATIM)
  add_custom_target(${target}_man ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION share/man/man1)
endfunction()
