# GCC's undefined-behaviour checks in trap mode: a check that fails executes an illegal
# instruction, so no sanitizer runtime is needed and a test process dies where it happens.
option(ULVANE_UB_CHECKS "Trap on undefined behaviour" OFF)
if(ULVANE_UB_CHECKS)
  add_compile_options(-fsanitize=undefined -fsanitize-undefined-trap-on-error)
endif()
