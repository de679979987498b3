// Errors of loading and running a guesser network.
//
// Contract: an NnError is a plain value: a kind plus the payload that kind
// needs. message() renders the user-facing text; texts are fixed because they
// reach Python users verbatim. Unparsable carries either a metadata key or a
// whole explanatory sentence, and both are shown quoted.
#pragma once

#include <cstdint>
#include <string>

namespace kovrant {

struct NnError {
  enum class Kind {
    Io,
    BadMagic,
    Truncated,
    Missing,
    Unparsable,
    UnknownEstimator,
    UnknownEncoding,
    ShapeMismatch,
    TooFewPoints,
  };

  Kind kind = Kind::Truncated;
  // Io: system error text; Missing: key or tensor name; Unparsable: key or
  // message; UnknownEstimator: estimator value; ShapeMismatch: name.
  std::string text;
  // UnknownEncoding: the encoding byte; ShapeMismatch: element count found;
  // TooFewPoints: the point count.
  std::uint64_t got = 0;
  std::uint64_t expected = 0;  // ShapeMismatch only

  static NnError io(std::string system_text) { return {Kind::Io, std::move(system_text)}; }
  static NnError bad_magic() { return {Kind::BadMagic, {}}; }
  static NnError truncated() { return {Kind::Truncated, {}}; }
  static NnError missing(std::string name) { return {Kind::Missing, std::move(name)}; }
  static NnError unparsable(std::string what) { return {Kind::Unparsable, std::move(what)}; }
  static NnError unknown_estimator(std::string value) { return {Kind::UnknownEstimator, std::move(value)}; }
  static NnError unknown_encoding(std::uint8_t encoding) { return {Kind::UnknownEncoding, {}, encoding}; }
  static NnError shape_mismatch(std::string name, std::uint64_t got, std::uint64_t expected) {
    return {Kind::ShapeMismatch, std::move(name), got, expected};
  }
  static NnError too_few_points(std::uint64_t count) { return {Kind::TooFewPoints, {}, count}; }

  std::string message() const;
};

// The one estimator this build implements.
inline constexpr const char* kReactiveCentroid = "reactive_centroid";

}  // namespace kovrant
