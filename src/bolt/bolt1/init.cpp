#include "bolt/bolt1/messages.h"

#include <algorithm>

namespace keldrin::bolt1 {

WireResult<Init> Init::from_wire(WireReader& reader) {
  auto ty = reader.read_u16();
  if (!ty) return ty.error();
  auto globalfeatures = BitFlag::from_wire(reader);
  if (!globalfeatures) return globalfeatures.error();
  auto features = BitFlag::from_wire(reader);
  if (!features) return features.error();
  auto init_tlvs = Stream::from_wire(reader);
  if (!init_tlvs) return init_tlvs.error();
  return Init{ty.value(), std::move(globalfeatures).value(), std::move(features).value(),
              std::move(init_tlvs).value()};
}

std::vector<std::uint32_t> feature_bits(const Init& init) {
  const std::vector<std::uint8_t>& a = init.globalfeatures.bytes;
  const std::vector<std::uint8_t>& b = init.features.bytes;
  std::vector<std::uint32_t> bits;
  for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
    // Byte i from the end of either map.
    const std::uint8_t byte = (i < a.size() ? a[a.size() - 1 - i] : 0) |
                              (i < b.size() ? b[b.size() - 1 - i] : 0);
    for (std::uint32_t bit = 0; bit < 8; ++bit) {
      if (byte & (1u << bit)) bits.push_back(static_cast<std::uint32_t>(8 * i + bit));
    }
  }
  return bits;
}

}  // namespace keldrin::bolt1
