// Networks loaded from user weight files, cached by path for the process.
//
// Contract: EXTERNAL maps a path text, exactly as given, to the network last
// loaded from it together with the identity of the file it came from (device,
// inode, size, modification time). Each call opens the file and compares that
// identity: an unchanged file yields the cached network, a replaced or edited
// one is read and loaded again, and a path that no longer opens is an error.
// Networks are shared: one replaced in the cache lives on while a caller
// still uses it, and is freed after. A failed read or load caches nothing, so
// a later call tries the file again.
// One mutex guards the cache; load_external requires the caller to hold it
// (and takes the held lock as proof), so that a caller can keep it across the
// lookup and whatever it checks on the result. In the child of fork() the
// cache starts empty with a fresh mutex: another parent thread may have held
// the lock, or been changing the map, at the moment of the fork.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "nn/guesser.h"
#include "util/result.h"

namespace kovrant {

// What tells one version of a file from another without reading it.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};

  bool operator==(const FileIdentity& other) const;
};

struct WeightFile {
  std::vector<unsigned char> bytes;
  FileIdentity identity;
};

struct CachedNetwork {
  std::shared_ptr<const Guesser> network;
  FileIdentity identity;
};

struct ExternalCache {
  std::mutex mutex;
  std::map<std::string, CachedNetwork, std::less<>> networks;
};

// Allocated during static initialisation and never destroyed, so threads
// still running at process exit never see a destroyed cache.
extern ExternalCache& EXTERNAL;

// The identity of the file at `path`, or Io with the system's error text.
Result<FileIdentity, NnError> weight_file_identity(const std::string& path);

// The whole file at `path` and the identity of what was read, or Io with the
// system's error text.
Result<WeightFile, NnError> read_weight_file(const std::string& path);

// The cached network for `path` while its file is unchanged, or the one read
// and loaded from it now. `held` must own EXTERNAL.mutex.
Result<std::shared_ptr<const Guesser>, NnError> load_external(const std::string& path,
                                                              const std::unique_lock<std::mutex>& held);

}  // namespace kovrant
