# Warnings and sanitizers for every target of the project.
add_compile_options(-Wall -Wextra -Wformat=2 -Wshadow -Wno-missing-field-initializers
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)
if(ZEM_WERROR)
  add_compile_options(-Werror)
endif()
if(ZEM_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(ZEM_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ZEM_FUZZ needs clang (CXX=clang++-14)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
# Shared libraries and programs find each other in the build tree and, once
# installed, in the library directory.
set(CMAKE_INSTALL_RPATH "${CMAKE_INSTALL_FULL_LIBDIR}")
set(CMAKE_BUILD_RPATH_USE_ORIGIN ON)
