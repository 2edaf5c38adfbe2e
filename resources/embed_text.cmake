# Turns a text file into a C++ source defining it as one string:
#   cmake -DINPUT=file -DOUTPUT=file.cpp -DSYMBOL=name -DHEADER=path/to/header.h -P embed_text.cmake
file(READ "${INPUT}" content)
string(FIND "${content}" ")odu_text\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} holds the string delimiter )odu_text\"")
endif()
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n"
  "#include \"${HEADER}\"\n\n"
  "namespace odu {\n"
  "extern const char* const ${SYMBOL};\n"
  "const char* const ${SYMBOL} = R\"odu_text(${content})odu_text\";\n"
  "}  // namespace odu\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
