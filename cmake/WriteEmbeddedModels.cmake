# Script mode: writes OUTPUT, a C++ source defining embedded_model_files()
# with one entry per file of MODEL_FILES (key = file name without extension).
set(body "")
set(table "")
set(index 0)
foreach(path IN LISTS MODEL_FILES)
  get_filename_component(key ${path} NAME_WE)
  file(READ ${path} hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND body "alignas(8) const unsigned char model_${index}[] = {${bytes}};\n")
  string(APPEND table "    {\"${key}\", std::span<const unsigned char>(model_${index}, ${size})},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT}.tmp
"// Generated at build time from data/models/*.eisnn; do not edit.
#include \"models/embedded_models.h\"

namespace kovrant {
namespace {
${body}
const EmbeddedModelFile files[] = {
${table}    {\"\", {}},
};
}  // namespace

std::span<const EmbeddedModelFile> embedded_model_files() {
  return std::span<const EmbeddedModelFile>(files, ${index});
}
}  // namespace kovrant
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
