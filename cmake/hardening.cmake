# The shipped Linux binaries are built as Debian builds its own packages
# (dpkg-buildflags): libc calls fortified with their buffer sizes, and the
# GOT resolved at load time and then made read-only. The sanitizer trees
# have checks of their own, and _FORTIFY_SOURCE needs the optimiser.
if(NOT WIN32 AND VELT_SANITIZE STREQUAL "")
  add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
  add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()
