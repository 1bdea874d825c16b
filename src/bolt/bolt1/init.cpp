#include "bolt/bolt1/messages.h"

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

void Init::to_wire(WireWriter& writer) const {
  writer.write_u16(kType);
  globalfeatures.to_wire(writer);
  features.to_wire(writer);
  init_tlvs.to_wire(writer);
}

}  // namespace keldrin::bolt1
