# zv_embed_file(<out-var> <symbol> <file> [NUL])
# Adds a generated source that holds the bytes of <file> (see embed_file.cmake)
# and appends its path to <out-var>.
function(zv_embed_file out_var symbol file)
  set(nul 0)
  if(ARGN STREQUAL "NUL")
    set(nul 1)
  endif()
  get_filename_component(name ${file} NAME)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/embedded/${name}.cpp)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DIN=${file} -DOUT=${out} -DSYMBOL=${symbol} -DNUL=${nul}
            -P ${PROJECT_SOURCE_DIR}/cmake/embed_file.cmake
    DEPENDS ${file} ${PROJECT_SOURCE_DIR}/cmake/embed_file.cmake
    COMMENT "Embedding ${file}"
    VERBATIM)
  set(${out_var} ${${out_var}} ${out} PARENT_SCOPE)
endfunction()
