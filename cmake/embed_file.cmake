# Writes a header that holds the bytes of INPUT as `inline constexpr unsigned
# char SYMBOL[]`, so that a file the program needs at run time (a shader
# text, a compiled shader) is built into it. Run with cmake -P and
# -DINPUT=... -DOUTPUT=... -DSYMBOL=...
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REPEAT "0x..," 16 line)
string(REGEX REPLACE "(${line})" "\\1\n  " bytes "${bytes}")
get_filename_component(name "${INPUT}" NAME)
file(WRITE "${OUTPUT}.tmp"
  "// Generated at build time from ${name}: edit that file instead.\n"
  "#pragma once\n\n"
  "inline constexpr unsigned char ${SYMBOL}[] = {\n  ${bytes}\n};\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
