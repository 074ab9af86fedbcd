# Warnings are errors on both compilers.
function(qv_sys_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
