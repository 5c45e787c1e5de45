# Run at every build (cmake -P): writes the version and the source revision
# the build is made from into OUT, touching the file only when they changed.
#   -DSOURCE_DIR=... -DOUT=... -DVERSION=... [-DREVISION=...]
# REVISION, when given (a packager's build outside a checkout), is taken as
# it is; otherwise git names the commit, "-dirty" when files differ from it,
# and "unknown" outside a git checkout.
if(NOT REVISION)
  # --no-optional-locks: looking must not take the index lock from a git
  # command running beside the build.
  execute_process(COMMAND git --no-optional-locks -C "${SOURCE_DIR}" describe --always --dirty --abbrev=12
                  OUTPUT_VARIABLE REVISION RESULT_VARIABLE result OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT result EQUAL 0 OR REVISION STREQUAL "")
    set(REVISION "unknown")
  endif()
endif()
set(content "// Generated at build time by cmake/source_revision.cmake.
#include \"run/build_info.h\"

const char* const kVexuVersion = \"${VERSION}\";
const char* const kSourceRevision = \"${REVISION}\";
")
file(WRITE "${OUT}.new" "${content}")
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
