# Compiler settings shared by every target: warnings are errors, sanitizers
# on request, ccache when the machine has it.

find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
  set(CMAKE_C_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
endif()

add_compile_options(-Wall -Wextra -Werror -Wnon-virtual-dtor -Wno-unused-parameter)

# The sanitizer builds compile at -O1 with line tables only (-g1): the
# sanitizers' own advice, file and line still name every frame of a report,
# and the Boost.Beast units, whose inlined asynchronous code AddressSanitizer
# instruments at great cost, compile in about 60% of the time. Placed after
# the build type's flags, these win.
if(NOT PELBO_SANITIZE STREQUAL "" OR PELBO_FUZZ)
  add_compile_options(-O1 -g1)
endif()

# The fuzz build instruments everything the targets link with for
# libFuzzer's coverage, under AddressSanitizer and UndefinedBehaviorSanitizer;
# only the targets themselves link libFuzzer (tests/fuzz). Clang leaves the
# sanitizer runtimes and the coverage hooks of a shared library to the
# program that loads it, so the shared libraries' link may not insist on
# resolving every symbol.
set(PELBO_NO_UNDEFINED -Wl,--no-undefined)
if(PELBO_FUZZ)
  if(WIN32 OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT PELBO_SANITIZE STREQUAL "")
    message(FATAL_ERROR "PELBO_FUZZ needs clang on Linux and no PELBO_SANITIZE")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  set(PELBO_NO_UNDEFINED "")
endif()

if(PELBO_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(PELBO_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  # GCC cannot instrument Asio's standalone fences for ThreadSanitizer (and
  # warns, an error here). Without them TSan checks the synchronisation Asio
  # really relies on, its scheduler's mutex and atomics; set for the whole
  # tree so every Asio translation unit in one binary agrees.
  add_compile_definitions(BOOST_ASIO_DISABLE_FENCED_BLOCK)
  add_link_options(-fsanitize=thread)
elseif(NOT PELBO_SANITIZE STREQUAL "")
  message(FATAL_ERROR "PELBO_SANITIZE must be empty, 'address' or 'thread'")
endif()

if(WIN32)
  # localtime_r and gmtime_r come with mingw-w64's time.h under the first
  # name; windows.h keeps its min and max macros to itself; the
  # Boost.Beast objects outgrow COFF's default section count.
  add_compile_definitions(_POSIX_THREAD_SAFE_FUNCTIONS NOMINMAX)
  add_compile_options(-Wa,-mbig-obj)
endif()

# Symbols are hidden unless a header marks them for export.
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
