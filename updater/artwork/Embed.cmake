# cmake -DINPUT_DIR=... -DOUTPUT=... -P Embed.cmake
# Turns the pictures drawn by the artwork program into a C++ source with one
# byte array per resource id and the lookup Resources::Find.
set(ids 102 103 104 105 205)
set(body "// Made at build time from the artwork program's pictures.\n#include \"Resources.h\"\n\n#include <cwchar>\n\nnamespace {\n")
foreach(id IN LISTS ids)
  file(READ "${INPUT_DIR}/${id}.png" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){24})" "\\1\n" bytes "${bytes}")
  string(APPEND body "const unsigned char kPng${id}[] = {\n${bytes}\n};\n")
endforeach()
string(APPEND body "}  // namespace\n\nbool Resources::Find(UINT id, const wchar_t* type, const unsigned char** bytes, size_t* size)\n{\n")
string(APPEND body "    if (type == nullptr || std::wcscmp(type, L\"PNG\") != 0) {\n        return false;\n    }\n    switch (id) {\n")
foreach(id IN LISTS ids)
  string(APPEND body "    case ${id}:\n        *bytes = kPng${id};\n        *size = sizeof(kPng${id});\n        return true;\n")
endforeach()
string(APPEND body "    default:\n        return false;\n    }\n}\n")
file(WRITE "${OUTPUT}.tmp" "${body}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
