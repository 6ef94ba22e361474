# Writes the bytes of IN into the C++ source OUT as the array NAME and its
# size NAMESize. Run with cmake -DIN=... -DOUT=... -DNAME=... -P embed_file.cmake
file(READ "${IN}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${hex}")
string(REGEX REPLACE "((0x..,){24})" "\\1\n" body "${body}")
file(WRITE "${OUT}"
  "// Generated from ${IN}; do not edit.\n#include <cstddef>\n"
  "extern const unsigned char ${NAME}[] = {\n${body}};\n"
  "extern const std::size_t ${NAME}Size = sizeof(${NAME});\n")
