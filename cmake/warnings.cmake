# Warning flags for the project's own targets only.
function(nox_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
    -Wno-sign-conversion)
  if(NOX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
