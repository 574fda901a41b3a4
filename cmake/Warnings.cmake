# Warnings are errors everywhere in this project.
function(orv_set_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
      -Wno-sign-conversion -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Wformat=2
      -Wimplicit-fallthrough -Werror)
  endif()
endfunction()
