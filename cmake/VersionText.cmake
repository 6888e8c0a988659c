# Sets `text` to the program version as --version and the Windows version
# information show it: the version of project() and, when the sources are a
# git work tree and git is there, what `git describe` says of them.
# Included by the scripts that write it into a source or a header; they are
# run with -DVERSION=x.y -DSOURCE_DIR=dir [-DGIT=path].
set(text "${VERSION}")
if(GIT)
  execute_process(
    COMMAND "${GIT}" -C "${SOURCE_DIR}" describe --tags --always --dirty
    OUTPUT_VARIABLE described
    ERROR_QUIET
    RESULT_VARIABLE failed
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT failed AND described)
    set(text "${VERSION} (git ${described})")
  endif()
endif()
