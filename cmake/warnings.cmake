# Warnings are errors everywhere, in every build tree.
function(velt_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wshadow -Wno-unused-parameter)
endfunction()
