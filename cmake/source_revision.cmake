# Run at every build (cmake -P): writes the version and the source revision
# the build is made from into OUT, touching the file only when they changed.
#   -DSOURCE_DIR=... -DOUT=... -DVERSION=... [-DREVISION=...] [-DRC_OUT=...]
# RC_OUT, when given, is a header for the Windows resource script that
# defines VEXU_SOURCE_REVISION (its version resources carry the revision).
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
if(RC_OUT)
  file(WRITE "${RC_OUT}.new" "// Generated at build time by cmake/source_revision.cmake.
#define VEXU_SOURCE_REVISION \"${REVISION}\"
")
  file(COPY_FILE "${RC_OUT}.new" "${RC_OUT}" ONLY_IF_DIFFERENT)
  file(REMOVE "${RC_OUT}.new")
endif()
