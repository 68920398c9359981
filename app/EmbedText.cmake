# Writes the bytes of INPUT into OUTPUT as a C++ array SYMBOL (with its size
# SYMBOL + "Size") in namespace lumo, so that a text file is compiled into
# the program.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR size "${hexLength} / 2")
# 16 bytes a line.
string(REGEX REPLACE "([0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f])" "\\1\n  " hex "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n"
  "#include <cstddef>\n"
  "namespace lumo {\n"
  "extern const char ${SYMBOL}[];\n"
  "extern const std::size_t ${SYMBOL}Size;\n"
  "const char ${SYMBOL}[] = {\n  ${bytes}'\\0'};\n"
  "const std::size_t ${SYMBOL}Size = ${size};\n"
  "}  // namespace lumo\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
