#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "python/binding.h"

namespace keldrin::python::keldrin_module {

/// A parameter as error texts name it: "Init() argument 'features'", or for a part of one item
/// of it "Init() argument 'tlvs' item 2 value".
struct Argument {
  const char* callable;  // "Init", "Init.decode", "decode"
  const char* name;
  Py_ssize_t item = -1;  // none
  const char* part = nullptr;
};

/// The parameters of a callable, as Python code would declare them: `names`, of which the first
/// `positional` may be given by position and the first `required` must be given at all; every
/// parameter may be given by keyword. `defaults` are those of names[required:], as help() shows
/// them.
struct Signature {
  const char* callable;  // as error texts name it: "Init", "decode"
  std::span<const char* const> names;
  std::size_t positional;
  std::size_t required;
  std::span<const char* const> defaults = {};

  constexpr Argument argument(std::size_t index) const { return {callable, names[index]}; }
};

/// Calls put(c) for each character of the text signature that help() and inspect show for a
/// callable `name` with `signature`: "decode(data, *, strict=True)", or, `bound` to its class,
/// "decode($type, /, data, *, strict=True)".
constexpr void write_text_signature(std::string_view name, const Signature& signature, bool bound,
                                    auto&& put) {
  auto write = [&](std::string_view text) {
    for (char c : text) put(c);
  };
  write(name);
  write(bound ? "($type, /" : "(");
  for (std::size_t i = 0; i < signature.names.size(); ++i) {
    if (i > 0 || bound) write(", ");
    if (i == signature.positional) write("*, ");
    write(signature.names[i]);
    if (i >= signature.required) {
      write("=");
      write(signature.defaults[i - signature.required]);
    }
  }
  write(")\n--\n\n");
}

/// A docstring known at compile time: the text signature of `kSignature` under `name`, then
/// `body`.
template <const Signature& kSignature, bool kBound = false, std::size_t kNameSize,
          std::size_t kBodySize>
consteval auto documented(const char (&name)[kNameSize], const char (&body)[kBodySize]) {
  constexpr std::size_t kLength = [] {
    std::size_t length = 0;
    write_text_signature("", kSignature, kBound, [&](char) { ++length; });
    return length;
  }();
  std::array<char, kNameSize - 1 + kLength + kBodySize> doc{};
  std::size_t at = 0;
  write_text_signature(std::string_view(name, kNameSize - 1), kSignature, kBound,
                       [&](char c) { doc[at++] = c; });
  for (char c : body) doc[at++] = c;
  return doc;
}

/// Matches a call's arguments to the parameters of `signature`: given[i] becomes the argument of
/// names[i] (borrowed), or stays null where none was given. Throws the TypeError that Python
/// gives for the same mistake ("Init() got an unexpected keyword argument 'x'").
/// REQUIRES: given.size() == signature.names.size().
void match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                     std::span<PyObject*> given);

/// The same for a vector call: `nargs` positional arguments, then in `args` the values of the
/// keywords that `kwnames` names.
void match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::span<PyObject*> given);

/// A flag's value: the truth of `value`, or `absent` when it was not given (null). May run Python
/// code (__bool__).
bool flag_value(PyObject* value, bool absent);

}  // namespace keldrin::python::keldrin_module
