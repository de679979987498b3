// Networks loaded from user weight files, cached by path for the process.
//
// Contract: EXTERNAL maps a path text, exactly as given, to the network first
// loaded from it; entries are never removed and the networks are never freed,
// so the same path keeps yielding the first network even if the file changes.
// A failed read or load caches nothing, so a later call tries the file again.
// One mutex guards the cache; load_external requires the caller to hold it
// (and takes the held lock as proof), so that a caller can keep it across the
// lookup and whatever it checks on the result.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "nn/guesser.h"
#include "util/result.h"

namespace kovrant {

struct ExternalCache {
  std::mutex mutex;
  std::map<std::string, const Guesser*, std::less<>> networks;
};

// Allocated during static initialisation and never destroyed, so threads
// still running at process exit never see a destroyed cache.
extern ExternalCache& EXTERNAL;

// The whole file at `path`, or Io with the system's error text.
Result<std::vector<unsigned char>, NnError> read_weight_file(const std::string& path);

// The cached network for `path`, or the one read and loaded from it now.
// `held` must own EXTERNAL.mutex.
Result<const Guesser*, NnError> load_external(const std::string& path, const std::unique_lock<std::mutex>& held);

}  // namespace kovrant
