#pragma once

// The classes of the libkeldrin module, each described once; class_description.h derives each
// class from its description. Adding an attribute, or giving a record a codec, changes its
// description here and its entry in the stub (stubs/libkeldrin.pyi).

#include <tuple>

#include "bolt/bolt1/messages.h"
#include "python/libkeldrin/class_description.h"
#include "tlv/stream.h"
#include "types/bitflag.h"

namespace keldrin::python {

template <>
struct Describe<bolt1::Init> {
  using Init = bolt1::Init;
  static constexpr ClassInfo<Init> info{.name = "builtins.Init",
                                        .constructor = Constructor::kNoArguments,
                                        .codec = wire_codec<Init>()};
  static constexpr std::tuple attributes{
      attribute("ty", &Init::ty), attribute("globalfeatures", &Init::globalfeatures),
      attribute("features", &Init::features), attribute("init_tlvs", &Init::init_tlvs)};
};

// Error and Warning share their attributes, but each class has a table of its own.
inline constexpr std::tuple kChannelMessageAttributes{
    attribute("ty", &bolt1::ChannelMessage::ty),
    attribute("channel_id", &bolt1::ChannelMessage::channel_id),
    attribute("data", &bolt1::ChannelMessage::data)};

template <>
struct Describe<bolt1::Error> {
  static constexpr ClassInfo<bolt1::Error> info{.name = "builtins.Error"};
  static constexpr std::tuple attributes = kChannelMessageAttributes;
};

template <>
struct Describe<bolt1::Warning> {
  static constexpr ClassInfo<bolt1::Warning> info{.name = "builtins.Warning"};
  static constexpr std::tuple attributes = kChannelMessageAttributes;
};

template <>
struct Describe<bolt1::Ping> {
  using Ping = bolt1::Ping;
  static constexpr ClassInfo<Ping> info{.name = "builtins.Ping"};
  static constexpr std::tuple attributes{attribute("ty", &Ping::ty),
                                         attribute("num_pong_bytes", &Ping::num_pong_bytes),
                                         attribute("ignored", &Ping::ignored)};
};

template <>
struct Describe<bolt1::Pong> {
  using Pong = bolt1::Pong;
  static constexpr ClassInfo<Pong> info{.name = "builtins.Pong"};
  static constexpr std::tuple attributes{attribute("ty", &Pong::ty),
                                         attribute("ignored", &Pong::ignored)};
};

// Stream and BitFlag are not on the module: Python code meets them only as the types that the
// setters of init_tlvs, globalfeatures, features, data and ignored check against.
template <>
struct Describe<Stream> {
  static constexpr ClassInfo<Stream> info{
      .name = "builtins.Stream",
      .doc = "Stream - A `tlv_stream` is a series of (possibly zero) `tlv_record`s, represented "
             "as the\nconcatenation of the encoded `tlv_record`s. When used to extend existing\n"
             "messages, a `tlv_stream` is typically placed after all currently defined fields."};
  static constexpr std::tuple<> attributes{};
};

template <>
struct Describe<BitFlag> {
  static constexpr ClassInfo<BitFlag> info{.name = "builtins.BitFlag"};
  static constexpr std::tuple<> attributes{};
};

/// The classes on the module, in the order of its __all__.
using ModuleClasses = std::tuple<bolt1::Init, bolt1::Error, bolt1::Ping, bolt1::Pong, bolt1::Warning>;

}  // namespace keldrin::python
