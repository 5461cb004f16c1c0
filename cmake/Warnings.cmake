# Warnings apply to our own targets only; call velmorine_warnings(target).
function(velmorine_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow=local)
  if(VELMORINE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
