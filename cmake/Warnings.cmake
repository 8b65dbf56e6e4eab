# Warning flags for our own targets only; third-party headers come in as system headers.
function(camupgrade_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
  else()
    target_compile_options(${target} PRIVATE
      -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
      -Wformat=2 -Wimplicit-fallthrough -Wmissing-declarations -Wundef)
    if(CAMUPGRADE_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()
