# Checked builds, each in a build folder of its own (scripts/sanitize, scripts/fuzz):
#
#   -DMARLUNE_SANITIZE=address   AddressSanitizer (with LeakSanitizer) and UndefinedBehaviorSanitizer
#   -DMARLUNE_SANITIZE=thread    ThreadSanitizer
#   -DMARLUNE_FUZZ=ON            the libFuzzer targets under fuzz/, built with clang, with
#                                AddressSanitizer and UndefinedBehaviorSanitizer
#
# Any finding stops the program with a report: undefined behaviour is not merely printed.
set(MARLUNE_SANITIZE "" CACHE STRING "Sanitizer build: address (ASan+UBSan), thread (TSan) or empty")
set_property(CACHE MARLUNE_SANITIZE PROPERTY STRINGS "" address thread)
option(MARLUNE_FUZZ "Build the libFuzzer targets (needs clang)" OFF)

set(marlune_sanitize_flags)
if(MARLUNE_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "MARLUNE_FUZZ needs clang (for example -DCMAKE_CXX_COMPILER=clang++-16)")
    endif()
    if(MARLUNE_SANITIZE)
        message(FATAL_ERROR "MARLUNE_FUZZ brings its own sanitizers; leave MARLUNE_SANITIZE empty")
    endif()
    # Coverage for the fuzzer's guidance in every object; the fuzzer's main is linked only into the
    # fuzz targets (fuzz/CMakeLists.txt).
    set(marlune_sanitize_flags -fsanitize=fuzzer-no-link,address,undefined
        -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(MARLUNE_SANITIZE STREQUAL "address")
    set(marlune_sanitize_flags -fsanitize=address,undefined -fno-sanitize-recover=all
        -fno-omit-frame-pointer)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        # GCC's own manual warns that its sanitizers bring false "may be used uninitialized"
        # warnings (here inside libstdc++'s std::regex and std::function); the normal build keeps
        # the warning, so nothing it would find goes unseen.
        add_compile_options(-Wno-maybe-uninitialized)
    endif()
elseif(MARLUNE_SANITIZE STREQUAL "thread")
    set(marlune_sanitize_flags -fsanitize=thread)
elseif(MARLUNE_SANITIZE)
    message(FATAL_ERROR "MARLUNE_SANITIZE must be address, thread or empty, not '${MARLUNE_SANITIZE}'")
endif()
if(marlune_sanitize_flags)
    add_compile_options(${marlune_sanitize_flags})
    add_link_options(${marlune_sanitize_flags})
    # Reports need file and line, not variables: line tables alone compile faster (these builds
    # run in CI after the normal one).
    add_compile_options(-g1)
endif()

if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 19)
    # libstdc++ 12 shows std::expected only to a compiler announcing C++20 concepts in full
    # (202002). Clang 16 to 18 implement what it relies on (conditionally trivial special members)
    # but still announce 201907; older clang cannot compile it at all.
    if(CMAKE_CXX_COMPILER_VERSION VERSION_LESS 16)
        message(FATAL_ERROR "clang ${CMAKE_CXX_COMPILER_VERSION} cannot compile std::expected; use clang 16 or later")
    endif()
    add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-U__cpp_concepts>
        $<$<COMPILE_LANGUAGE:CXX>:-D__cpp_concepts=202002L>)
endif()
