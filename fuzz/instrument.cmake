# Instruments the whole tree for libFuzzer: every object gets the fuzzer's
# coverage hooks and the address and undefined-behaviour checks, so a fault
# in the core shows up wherever a target reaches it. Only clang has the
# fuzzer runtime.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "TQ_FUZZ needs clang (configure with CC=clang-14 CXX=clang++-14)")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                    -fno-sanitize-recover=all -gline-tables-only)
add_link_options(-fsanitize=address,undefined)
