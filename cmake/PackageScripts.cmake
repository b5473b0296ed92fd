# Run by cpack after it has made the packages (CPACK_POST_BUILD_SCRIPTS).
# CPack gives a package with a shared library under /usr/lib a postinst and
# a postrm that only run ldconfig.  Ours is private, in a folder the loader
# never searches, so those scripts do nothing useful, and a postrm keeps a
# removed package listed (state rc) until it is purged.  Repack without
# them; scripts that do anything else stay.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${CPACK_TOPLEVEL_DIRECTORY}/repack")
  file(REMOVE_RECURSE "${tree}")
  # The umask keeps the files' modes whoever runs cpack.
  execute_process(COMMAND sh -c "umask 022 && dpkg-deb --raw-extract \"$1\" \"$2\"" sh
      "${deb}" "${tree}"
    COMMAND_ERROR_IS_FATAL ANY)
  set(dropped FALSE)
  foreach(script postinst postrm)
    set(path "${tree}/DEBIAN/${script}")
    if(NOT EXISTS "${path}")
      continue()
    endif()
    file(STRINGS "${path}" lines)
    list(FILTER lines EXCLUDE REGEX
      "^(#!/bin/sh|set -e|if \\[ \"\\$1\" = \"[a-z]+\" \\]; then|[ \t]*ldconfig|fi|[ \t]*)$")
    if(NOT lines)
      file(REMOVE "${path}")
      set(dropped TRUE)
    endif()
  endforeach()
  if(dropped)
    execute_process(COMMAND dpkg-deb --root-owner-group --build "${tree}" "${deb}"
      OUTPUT_QUIET
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
