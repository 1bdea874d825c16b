#include "core/decode_failure.h"

namespace keldrin {

std::string describe(const Shortfall& shortfall) {
  return std::to_string(shortfall.needed) + (shortfall.needed == 1 ? " byte" : " bytes") +
         " needed at offset " + std::to_string(shortfall.offset) + ", " +
         std::to_string(shortfall.left) + " left";
}

DecodeFailure DecodeFailure::short_read(std::string_view field, const Shortfall& shortfall) {
  return {Fault::kShort, shortfall.offset, std::string(field) + ": " + describe(shortfall)};
}

DecodeFailure DecodeFailure::within(std::string_view context) && {
  message.insert(0, std::string(context) + ": ");
  return std::move(*this);
}

}  // namespace keldrin
