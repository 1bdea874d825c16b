// The attribute setters driven on real instances of every class, with valid BitFlag and Stream
// values made in C++: the paths Python code cannot reach.

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "embedded.h"
#include "test_support.h"
#include "python/libkeldrin/classes.h"

namespace keldrin::python {
namespace {

using testing::assign;
using testing::eval;
using testing::exec;

using Bytes = std::vector<std::uint8_t>;

template <class T>
T& contents(const PyRef& obj) {
  return instance_of<T>(obj.get()).contents;
}

PyRef bitflag(Bytes bytes) { return new_instance(BitFlag{std::move(bytes)}); }

Stream two_records() { return keldrin::testing::Records({{1, {0xaa, 0xbb}}, {253, {}}}); }

class SettersTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(eval("__import__('libkeldrin')"));
    exec(R"(
class Seq:
    """A sequence with its own item access, for the generic conversion paths."""
    def __init__(self, items, raise_at=None, exc=None):
        self.items, self.raise_at, self.exc = items, raise_at, exc
    def __len__(self):
        return len(self.items)
    def __getitem__(self, i):
        if i == self.raise_at:
            raise self.exc
        return self.items[i]
)");
  }
};

// Calls visit(instance, "Class.attribute", name, member) for every attribute of every class on
// the module, each class on a fresh instance of its own.
template <class T, class Visit>
void VisitAttributes(Visit& visit) {
  PyRef obj = new_instance(T{});
  const std::string prefix = std::string(short_name<T>()) + ".";
  std::apply([&](const auto&... a) {
    (visit(obj, prefix + a.name, a.name, contents<T>(obj).*a.member), ...);
  }, Describe<T>::attributes);
}

template <class Visit>
void ForEachAttribute(Visit visit) {
  [&]<class... T>(std::tuple<T...>*) {
    (VisitAttributes<T>(visit), ...);
  }(static_cast<ModuleClasses*>(nullptr));
}

// Every attribute refuses deletion and keeps its value.
TEST_F(SettersTest, DeletionIsRefusedEverywhere) {
  std::vector<std::string> seen;
  ForEachAttribute([&](const PyRef& obj, const std::string& full, const char* name, auto& field) {
    SCOPED_TRACE(full);
    const auto before = field;
    EXPECT_EQ(assign(obj.get(), name, nullptr), "AttributeError: can't delete attribute");
    EXPECT_EQ(field, before);
    seen.push_back(full);
  });
  EXPECT_EQ(seen, (std::vector<std::string>{
      "Init.ty", "Init.globalfeatures", "Init.features", "Init.init_tlvs", "Error.ty",
      "Error.channel_id", "Error.data", "Ping.ty", "Ping.num_pong_bytes", "Ping.ignored",
      "Pong.ty", "Pong.ignored", "Warning.ty", "Warning.channel_id", "Warning.data"}));
}

// Each attribute stores into its own member, and wire() shows what they hold. A BitFlag or Stream
// is copied deeply (a BitFlag's len taken as it is) and the object itself is not kept. Each copy
// attribute takes its own class only, with the attribute's name on the error, and keeps its value.
TEST_F(SettersTest, FieldsAreStoredAsCopies) {
  PyRef init = new_instance(bolt1::Init{}), ping = new_instance(bolt1::Ping{}),
        pong = new_instance(bolt1::Pong{}), warning = new_instance(bolt1::Warning{}),
        error = new_instance(bolt1::Error{});
  PyRef flag = bitflag({1, 2, 3}), odd = bitflag({7}), stream = new_instance(two_records());
  const Py_ssize_t refs_before = Py_REFCNT(flag.get());
  for (const auto& [obj, name, value] :
       {std::tuple{&init, "globalfeatures", &flag}, {&init, "features", &flag},
        {&init, "features", &odd}, {&init, "init_tlvs", &stream}, {&ping, "ignored", &flag},
        {&pong, "ignored", &flag}, {&warning, "data", &flag}, {&ping, "num_pong_bytes", nullptr},
        {&ping, "ty", nullptr}}) {
    const PyRef number = eval(std::string(name) == "ty" ? "18" : "65535");
    ASSERT_EQ(assign(obj->get(), name, value ? value->get() : number.get()), "") << name;
  }
  EXPECT_EQ(Py_REFCNT(flag.get()), refs_before);
  contents<BitFlag>(flag).bytes[0] = contents<BitFlag>(odd).bytes[0] = 9;
  contents<Stream>(stream) = keldrin::testing::Records({{5, {0}}});
  const BitFlag copied{{1, 2, 3}};
  EXPECT_EQ(contents<bolt1::Init>(init).globalfeatures, copied);
  EXPECT_EQ(contents<bolt1::Init>(init).features.len(), 1);
  EXPECT_EQ(contents<bolt1::Init>(init).init_tlvs, two_records());
  EXPECT_EQ(contents<bolt1::Ping>(ping).ignored, copied);
  EXPECT_EQ(contents<bolt1::Pong>(pong).ignored, copied);
  EXPECT_EQ(contents<bolt1::Warning>(warning).data, copied);
  EXPECT_EQ(contents<bolt1::Ping>(ping).num_pong_bytes, 65535);
  EXPECT_EQ(contents<bolt1::Ping>(ping).ty, 18);

  EXPECT_EQ(assign(init.get(), "init_tlvs", flag.get()),
            "TypeError: argument 'init_tlvs': 'BitFlag' object cannot be converted to 'Stream'");
  EXPECT_EQ(assign(init.get(), "features", stream.get()),
            "TypeError: argument 'features': 'Stream' object cannot be converted to 'BitFlag'");
  EXPECT_EQ(assign(error.get(), "data", init.get()),
            "TypeError: argument 'data': 'Init' object cannot be converted to 'BitFlag'");
  EXPECT_EQ(contents<bolt1::Init>(init).features.bytes, Bytes{7});
  PyRef wire = PyRef::steal(PyObject_CallMethod(init.get(), "wire", nullptr));
  PyRef expected = eval("[0, 16, 0, 3, 1, 2, 3, 0, 1, 7, 1, 2, 0xaa, 0xbb, 0xfd, 0, 0xfd, 0]");
  ASSERT_TRUE(wire);
  EXPECT_EQ(PyObject_RichCompareBool(wire.get(), expected.get(), Py_EQ), 1);

  PyRef empty = new_instance(Stream{});
  ASSERT_EQ(assign(init.get(), "init_tlvs", empty.get()), "");
  EXPECT_EQ(contents<bolt1::Init>(init).init_tlvs, Stream{});
}

// A value as a Python expression, and the error its assignment raises ("" for none) or what it
// stores (for a failure, the old value stays).
struct SetterCase {
  const char* value;
  const char* error;
  int stored;
};

// ctest names the cases by their printed parameter: print the Python expression, not the
// struct's bytes (pointers that change with every build), so that `ctest -R` can select one.
void PrintTo(const SetterCase& c, std::ostream* os) { *os << c.value; }

class U16SetterTest : public SettersTest, public ::testing::WithParamInterface<SetterCase> {};

// Every 16-bit attribute of every class shares the unsigned 16-bit conversion and its error texts.
TEST_P(U16SetterTest, ConvertsOrRefuses) {
  const SetterCase& c = GetParam();
  exec("class Idx:\n    def __index__(self): return 7\n");
  PyRef value = eval(c.value);
  ASSERT_TRUE(value);
  ForEachAttribute([&](const PyRef& obj, const std::string& full, const char* name, auto& field) {
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(field)>, std::uint16_t>) {
      SCOPED_TRACE(full);
      field = 0x1234;
      std::string expected = c.error;
      if (expected.starts_with("TypeError: ")) {
        expected.insert(11, std::string("argument '") + name + "': ");
      }
      EXPECT_EQ(assign(obj.get(), name, value.get()), expected);
      EXPECT_EQ(field, *c.error ? 0x1234 : c.stored);
    }
  });
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, U16SetterTest,
    ::testing::Values(
        SetterCase{"0", "", 0}, SetterCase{"65535", "", 65535}, SetterCase{"256", "", 256},
        SetterCase{"True", "", 1}, SetterCase{"Idx()", "", 7},
        SetterCase{"65536", "OverflowError: out of range integral type conversion attempted", -1},
        SetterCase{"-1", "OverflowError: out of range integral type conversion attempted", -1},
        SetterCase{"2**63", "OverflowError: Python int too large to convert to C long", -1},
        SetterCase{"1.5", "TypeError: 'float' object cannot be interpreted as an integer", -1},
        SetterCase{"'a'", "TypeError: 'str' object cannot be interpreted as an integer", -1}));

class ChannelIdTest : public SettersTest, public ::testing::WithParamInterface<SetterCase> {};

// channel_id takes exactly 32 byte values from any sequence; on failure the old bytes remain.
TEST_P(ChannelIdTest, ConvertsOrKeepsTheOldBytes) {
  const SetterCase& c = GetParam();
  PyRef objects[] = {new_instance(bolt1::Error{}), new_instance(bolt1::Warning{})};
  for (const PyRef& obj : objects) {
    auto& id = instance_of<bolt1::ChannelMessage>(obj.get()).contents.channel_id;
    id.fill(0xee);
    EXPECT_EQ(assign(obj.get(), "channel_id", eval(c.value).get()), c.error);
    EXPECT_EQ(id[0], *c.error ? 0xee : c.stored);
    EXPECT_EQ(id[31], *c.error ? 0xee : c.stored);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, ChannelIdTest,
    ::testing::Values(
        SetterCase{"bytes(32)", "", 0}, SetterCase{"bytearray([1] * 32)", "", 1},
        SetterCase{"[255] * 32", "", 255}, SetterCase{"(2,) * 32", "", 2},
        SetterCase{"Seq([3] * 32)", "", 3},
        SetterCase{"[]", "ValueError: expected a sequence of length 32 (got 0)", 0},
        SetterCase{"[0] * 31", "ValueError: expected a sequence of length 32 (got 31)", 0},
        SetterCase{"[0] * 33", "ValueError: expected a sequence of length 32 (got 33)", 0},
        SetterCase{"5", "TypeError: argument 'channel_id': 'int' object cannot be converted to "
                        "'Sequence'", 0},
        SetterCase{"'a' * 32", "TypeError: argument 'channel_id': 'str' object cannot be "
                               "interpreted as an integer", 0},
        SetterCase{"[0] * 31 + [256]",
                   "OverflowError: out of range integral type conversion attempted", 0},
        SetterCase{"Seq([0] * 32, 5, TypeError('bad item'))",
                   "TypeError: argument 'channel_id': bad item", 0},
        SetterCase{"Seq([0] * 32, 5, KeyError('k'))", "KeyError: 'k'", 0},
        SetterCase{"type('L', (Seq,), {'__len__': lambda s: 1 // 0})([0] * 32)",
                   "ZeroDivisionError: integer division or modulo by zero", 0}));

// A setter's exclusive borrow and a copy's shared borrow both respect borrows already held.
TEST_F(SettersTest, BorrowConflictsLeaveObjectsUnchanged) {
  PyRef init = new_instance(bolt1::Init{});
  PyRef flag = bitflag({1});
  instance_of<BitFlag>(flag.get()).borrow_flag = kExclusive;
  EXPECT_EQ(assign(init.get(), "features", flag.get()), "RuntimeError: Already mutably borrowed");
  instance_of<BitFlag>(flag.get()).borrow_flag = 0;

  instance_of<bolt1::Init>(init.get()).borrow_flag = 1;
  EXPECT_EQ(assign(init.get(), "features", flag.get()), "RuntimeError: Already borrowed");
  EXPECT_EQ(assign(init.get(), "ty", eval("1").get()), "RuntimeError: Already borrowed");
  instance_of<bolt1::Init>(init.get()).borrow_flag = 0;
  EXPECT_TRUE(contents<bolt1::Init>(init).features.bytes.empty());
  EXPECT_EQ(contents<bolt1::Init>(init).ty, 16);
}

}  // namespace
}  // namespace keldrin::python
