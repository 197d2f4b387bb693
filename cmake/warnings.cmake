# Warnings are errors everywhere, in every build tree.
function(velt_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wshadow -Wno-unused-parameter)
endfunction()

# The shipped code (library, utility, platform layer, velt-dfu) also admits
# no implicit conversion that can change a value: bytes and lengths cross
# wire formats here, and a silent truncation is a corrupt transfer.
function(velt_strict_warnings target)
  velt_warnings(${target})
  target_compile_options(${target} PRIVATE -Wconversion -Wsign-conversion)
endfunction()
