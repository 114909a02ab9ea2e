# Warnings as errors on our own code only.
add_library(bq_warnings INTERFACE)
if(MSVC)
  target_compile_options(bq_warnings INTERFACE /W4 /WX)
else()
  target_compile_options(bq_warnings INTERFACE -Wall -Wextra -Wpedantic -Werror)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12)
    # GCC 12's flow-sensitive checks misfire inside libstdc++ (std::string, std::copy) at -O2;
    # keep them visible as warnings without failing the build.
    target_compile_options(bq_warnings INTERFACE
      -Wno-error=restrict -Wno-error=array-bounds -Wno-error=stringop-overflow
      -Wno-error=stringop-overread)
  endif()
endif()
