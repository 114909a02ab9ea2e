# Warnings as errors on our own code only.
add_library(bq_warnings INTERFACE)
if(MSVC)
  target_compile_options(bq_warnings INTERFACE /W4 /WX)
else()
  target_compile_options(bq_warnings INTERFACE -Wall -Wextra -Wpedantic -Werror)
endif()
