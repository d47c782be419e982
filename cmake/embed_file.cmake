# cmake -DIN=file -DOUT=source.cpp -DSYMBOL=name [-DNUL=1] -P embed_file.cmake
# Writes a C++ source that holds the bytes of IN as
#   extern "C" const unsigned char SYMBOL[];  extern "C" const size_t SYMBOL_len;
# SYMBOL_len excludes the terminating zero byte that NUL=1 appends.
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" hex_len)
math(EXPR size "${hex_len} / 2")
if(NUL)
  string(APPEND hex "00")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){32})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUT}.tmp"
  "#include <cstddef>\n"
  "extern \"C\" const unsigned char ${SYMBOL}[] = {\n${bytes}\n};\n"
  "extern \"C\" const size_t ${SYMBOL}_len = ${size};\n")
file(RENAME "${OUT}.tmp" "${OUT}")
