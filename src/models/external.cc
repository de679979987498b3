#include "models/external.h"

#include <pthread.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <system_error>

namespace kovrant {
namespace {

NnError system_error(int code) { return NnError::io(std::generic_category().message(code)); }

FileIdentity identity_of(const struct stat& status) {
  return {status.st_dev, status.st_ino, status.st_size, status.st_mtim};
}

// Runs in the child of fork(), which has only the forking thread: the old
// cache is left as it was (leaked, possibly mid-change, never destroyed) and a
// new one takes its place, so the child reloads what it needs.
void fresh_cache_in_child() { new (&EXTERNAL) ExternalCache; }

}  // namespace

ExternalCache& EXTERNAL = *new ExternalCache;
[[maybe_unused]] const int kChildHandlerRegistered = pthread_atfork(nullptr, nullptr, fresh_cache_in_child);

bool FileIdentity::operator==(const FileIdentity& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

Result<FileIdentity, NnError> weight_file_identity(const std::string& path) {
  // No file name holds a NUL; the part before it would name another file.
  if (path.find('\0') != std::string::npos) return system_error(EINVAL);
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return system_error(errno);
  return identity_of(status);
}

Result<WeightFile, NnError> read_weight_file(const std::string& path) {
  if (path.find('\0') != std::string::npos) return system_error(EINVAL);
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return system_error(errno);
  WeightFile read;
  struct stat status {};
  bool failed = ::fstat(fileno(file), &status) != 0;
  if (!failed) {
    read.identity = identity_of(status);
    unsigned char chunk[1 << 16];
    std::size_t count = 0;
    while ((count = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
      read.bytes.insert(read.bytes.end(), chunk, chunk + count);
    }
    failed = std::ferror(file) != 0;
  }
  const int code = errno;
  std::fclose(file);
  if (failed) return system_error(code);
  return read;
}

Result<std::shared_ptr<const Guesser>, NnError> load_external(
    const std::string& path, [[maybe_unused]] const std::unique_lock<std::mutex>& held) {
  const auto identity = weight_file_identity(path);
  if (!identity) return identity.error();
  const auto cached = EXTERNAL.networks.find(path);
  if (cached != EXTERNAL.networks.end() && cached->second.identity == identity.value()) return cached->second.network;
  const auto file = read_weight_file(path);
  if (!file) return file.error();
  auto loaded = Guesser::from_bytes(file.value().bytes);
  if (!loaded) return loaded.error();
  auto network = std::make_shared<const Guesser>(std::move(loaded.value()));
  EXTERNAL.networks.insert_or_assign(path, CachedNetwork{network, file.value().identity});
  return network;
}

}  // namespace kovrant
