#include "models/external.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace kovrant {

ExternalCache& EXTERNAL = *new ExternalCache;

Result<std::vector<unsigned char>, NnError> read_weight_file(const std::string& path) {
  const auto system_error = [] { return NnError::io(std::generic_category().message(errno)); };
  // No file name holds a NUL; opening the part before it would read another file.
  if (path.find('\0') != std::string::npos) return NnError::io(std::generic_category().message(EINVAL));
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return system_error();
  std::vector<unsigned char> bytes;
  unsigned char chunk[1 << 16];
  std::size_t read = 0;
  while ((read = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + read);
  const bool failed = std::ferror(file) != 0;
  const auto error = failed ? system_error() : NnError{};
  std::fclose(file);
  if (failed) return error;
  return bytes;
}

Result<const Guesser*, NnError> load_external(const std::string& path,
                                              [[maybe_unused]] const std::unique_lock<std::mutex>& held) {
  const auto cached = EXTERNAL.networks.find(path);
  if (cached != EXTERNAL.networks.end()) return cached->second;
  const auto bytes = read_weight_file(path);
  if (!bytes) return bytes.error();
  auto loaded = Guesser::from_bytes(bytes.value());
  if (!loaded) return loaded.error();
  const Guesser* network = new Guesser(std::move(loaded.value()));
  EXTERNAL.networks.emplace(path, network);
  return network;
}

}  // namespace kovrant
