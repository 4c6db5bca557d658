# Compiler settings shared by every target of the project.

# Kernels and reference code fix their rounding order; a contracted multiply-add would change bits.
add_compile_options(-ffp-contract=off -Wall -Wextra -Wno-unused-parameter)

if(QO_SANITIZE)
  add_compile_options(-fsanitize=${QO_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=${QO_SANITIZE})
endif()

if(QO_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "QO_FUZZ needs clang (configure with CC=clang CXX=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
