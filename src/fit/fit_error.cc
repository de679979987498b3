#include "fit/fit_error.h"

#include "util/text.h"

namespace kovrant {

std::string FitError::message() const {
  switch (kind) {
    case Kind::LengthMismatch:
      return "frequencies and impedances must have the same length";
    case Kind::EmptySpectrum:
      return "frequencies and impedances must not be empty";
    case Kind::NoParameters:
      return "circuit topology has no parameters to fit";
    case Kind::Solver:
      return "solver error: " + detail;
    case Kind::UnknownMethod: {
      std::string text = "unknown fit method " + debug_quote(detail) + ", expected one of ";
      for (size_t k = 0; k < kFitMethodNames.size(); ++k) {
        if (k > 0) text += ", ";
        text += debug_quote(kFitMethodNames[k]);
      }
      return text;
    }
    case Kind::InvalidArgument:
      return detail;
    case Kind::Interrupted:
      return "fit interrupted";
  }
  return {};
}

}  // namespace kovrant
