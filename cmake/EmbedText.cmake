# pelbo_embed_text(OUTPUT SYMBOL FILE...): writes OUTPUT, a header defining
# `constexpr char SYMBOL[]` with the files' text joined by line breaks, at
# configure time; editing a file reconfigures. For small text such as key
# files, built into a program so that nothing at run time can change it.
function(pelbo_embed_text output symbol)
  set(text "")
  foreach(file IN LISTS ARGN)
    if(NOT EXISTS "${file}")
      message(FATAL_ERROR "pelbo_embed_text: ${file} does not exist")
    endif()
    file(READ "${file}" part)
    string(APPEND text "${part}\n")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
  endforeach()
  if(text MATCHES "\\)pelbo_text\"")
    message(FATAL_ERROR "pelbo_embed_text: a file holds the literal's closing mark")
  endif()
  file(WRITE "${output}.tmp"
       "// Made at configure time; do not edit.\n#pragma once\nconstexpr char ${symbol}[] = R\"pelbo_text(${text})pelbo_text\";\n")
  file(COPY_FILE "${output}.tmp" "${output}" ONLY_IF_DIFFERENT)
endfunction()
