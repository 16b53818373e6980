# Our own code builds warning-free; third-party code does not get these flags.
# Warnings become errors only where asked (the CI presets): a user's newer
# compiler may warn about something new, and that must not stop the build.
option(QEL_WERROR "Treat warnings in the project's own code as errors" OFF)

function(qel_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${QEL_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
                           $<$<BOOL:${QEL_WERROR}>:-Werror>)
  endif()
endfunction()

# The core is also clean of shadowing and implicit narrowing.
function(qel_strict_warnings target)
  qel_warnings(${target})
  if(NOT MSVC)
    target_compile_options(${target} PRIVATE -Wshadow -Wconversion)
  endif()
endfunction()
