// The trained guesser networks shipped inside the module.
//
// Contract: embedded_model_files() lists every data/models/<key>.eisnn file
// that was present at build time, sorted by file name, with its raw bytes.
// The bytes live in static storage for the life of the process.
#pragma once

#include <span>
#include <string_view>

namespace kovrant {

struct EmbeddedModelFile {
  std::string_view key;
  std::span<const unsigned char> bytes;
};

std::span<const EmbeddedModelFile> embedded_model_files();

}  // namespace kovrant
