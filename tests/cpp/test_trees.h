// Circuit trees for tests, parsed from notation.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "circuit/parser.h"

namespace kovrant {

// The tree of `text`, or an empty tree with a test failure when it does not parse.
inline SeriesList tree(const std::string& text) {
  auto parsed = parse(text);
  EXPECT_TRUE(parsed.ok()) << text;
  return parsed ? std::move(parsed.value()) : SeriesList{};
}

}  // namespace kovrant
