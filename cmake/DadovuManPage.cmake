# dadovu_install_man_page(<source> COMPONENT <component>)
#
# Installs the man page <source> (roff, named NAME.SECTION: dadovuctl.1,
# relative to the current source directory or absolute) into
# ${CMAKE_INSTALL_MANDIR}/man<SECTION>, compressed the way Debian ships man
# pages: `gzip -9n` (no name, no time stamp, so the same page always makes the
# same bytes). The compressed page is made at build time in the current binary
# directory, by a target that `all` builds, and is made again when the source
# changes.
#
#   dadovu_install_man_page(dadovu-sim.1 COMPONENT tools)

include_guard(GLOBAL)

find_program(DADOVU_GZIP gzip REQUIRED)

function(dadovu_install_man_page source)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "COMPONENT" "")
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "dadovu_install_man_page: unexpected arguments: ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT ARG_COMPONENT)
    message(FATAL_ERROR "dadovu_install_man_page(${source}): COMPONENT is required")
  endif()

  get_filename_component(path "${source}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  get_filename_component(name "${path}" NAME)
  # The section is the digit after the last dot (dadovuctl.1 -> man1;
  # a suffix after the digit, as in foo.3ssl, stays in the file name only).
  if(NOT name MATCHES "^(.+)\\.([1-9])([a-z]*)$")
    message(FATAL_ERROR "dadovu_install_man_page: '${name}' is not named NAME.SECTION (dadovuctl.1)")
  endif()
  set(section "${CMAKE_MATCH_2}")

  set(dir "${CMAKE_CURRENT_BINARY_DIR}/man")
  set(copy "${dir}/${name}")
  set(compressed "${copy}.gz")
  add_custom_command(
    OUTPUT "${compressed}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${dir}"
    COMMAND "${CMAKE_COMMAND}" -E copy "${path}" "${copy}"
    # -f: replace the page left by an earlier build.
    COMMAND "${DADOVU_GZIP}" -9nf "${copy}"
    DEPENDS "${path}"
    COMMENT "Compressing the man page ${name}"
    VERBATIM)
  string(MAKE_C_IDENTIFIER "man_${name}" target)
  add_custom_target(${target} ALL DEPENDS "${compressed}")

  install(FILES "${compressed}"
          DESTINATION "${CMAKE_INSTALL_MANDIR}/man${section}"
          COMPONENT "${ARG_COMPONENT}")
endfunction()
