# Writes OUTPUT, the header with the version text of every program: VERSION,
# followed by the short commit where SOURCE is a git checkout that is not at a
# tag ("3.5.0 (1a2b3c4)"), marked where the checkout has changes of its own
# ("3.5.0 (1a2b3c4-dirty)"). Run at every build; the header is rewritten only
# when its text changes, so that nothing is rebuilt for nothing.
set(text "${VERSION}")
find_program(git_program git)
# The checkout may belong to another user than the one building (root in a
# container): git would refuse to read it, and the build would pass for a
# release.
set(git ${git_program} -c safe.directory=${SOURCE})
if(git_program)
  execute_process(COMMAND ${git} -C ${SOURCE} rev-parse --show-toplevel
                  OUTPUT_VARIABLE top RESULT_VARIABLE no_checkout OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  # Only the project's own checkout: a source tree unpacked inside another
  # repository is not at that repository's commit.
  if(no_checkout EQUAL 0 AND EXISTS "${top}" AND EXISTS "${SOURCE}")
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${SOURCE}" source)
  endif()
  if(no_checkout EQUAL 0 AND top STREQUAL source)
    execute_process(COMMAND ${git} -C ${SOURCE} describe --tags --exact-match HEAD
                    RESULT_VARIABLE not_at_tag OUTPUT_QUIET ERROR_QUIET)
    execute_process(COMMAND ${git} -C ${SOURCE} describe --always --dirty --abbrev=7 --exclude=*
                    OUTPUT_VARIABLE commit RESULT_VARIABLE no_commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT not_at_tag EQUAL 0 AND no_commit EQUAL 0 AND commit MATCHES "^[0-9a-f]+(-dirty)?$")
      set(text "${VERSION} (${commit})")
    endif()
  endif()
endif()

set(header "// Written by resources/version.cmake at build time.
#ifndef ODU_VERSION_H
#define ODU_VERSION_H
#define ODU_VERSION_TEXT \"${text}\"
#endif
")
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL header)
  file(WRITE "${OUTPUT}" "${header}")
endif()
