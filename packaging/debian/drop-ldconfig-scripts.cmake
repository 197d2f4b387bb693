# CPack post-build script. CPack gives a package with a shared library in
# /usr/lib postinst and postrm scripts that run ldconfig; Debian runs it
# once per dpkg run through the ldconfig trigger that the runtime package
# declares (libvelt-dfu1.triggers), and lintian counts the scripts against
# it. This rebuilds each such package without those two scripts, and stops
# if a script does anything else.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  set(dropped FALSE)
  foreach(script postinst postrm)
    if(EXISTS "${tree}/DEBIAN/${script}")
      file(STRINGS "${tree}/DEBIAN/${script}" lines REGEX "[^ \t]")
      if(NOT lines MATCHES "ldconfig")
        continue()  # one of ours
      endif()
      list(FILTER lines EXCLUDE REGEX "^(#!/bin/sh|set -e|if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then|[ \t]*ldconfig|fi)$")
      if(lines)
        message(FATAL_ERROR "${deb}: ${script} does more than run ldconfig: ${lines}")
      endif()
      file(REMOVE "${tree}/DEBIAN/${script}")
      set(dropped TRUE)
    endif()
  endforeach()
  if(dropped)
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip -b "${tree}" "${deb}"
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
