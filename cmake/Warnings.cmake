# Warnings are errors everywhere. Driver code additionally refuses anything that
# would need a C++ runtime in the image: static constructors and destructors.
set(PCIPLAT_COMMON_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wimplicit-fallthrough -Werror)

function(pciplat_warnings target)
  target_compile_options(${target} PRIVATE ${PCIPLAT_COMMON_WARNINGS})
endfunction()

function(pciplat_driver_warnings target)
  target_compile_options(${target} PRIVATE ${PCIPLAT_COMMON_WARNINGS}
    -Wglobal-constructors -Wexit-time-destructors -Wcast-qual -Wnon-virtual-dtor)
endfunction()
