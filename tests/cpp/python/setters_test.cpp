// The attribute setters driven on real instances of every class, with valid BitFlag and Stream
// values made in C++: the paths Python code cannot reach.

#include <gtest/gtest.h>

#include <string>
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

// Every one of the fifteen attributes refuses deletion and keeps its value.
TEST_F(SettersTest, DeletionIsRefusedEverywhere) {
  const std::vector<std::pair<PyRef, std::vector<const char*>>> cases = [] {
    std::vector<std::pair<PyRef, std::vector<const char*>>> c;
    c.emplace_back(new_instance(bolt1::Init{}), std::vector{"ty", "globalfeatures", "features", "init_tlvs"});
    c.emplace_back(new_instance(bolt1::Error{}), std::vector{"ty", "channel_id", "data"});
    c.emplace_back(new_instance(bolt1::Warning{}), std::vector{"ty", "channel_id", "data"});
    c.emplace_back(new_instance(bolt1::Ping{}), std::vector{"ty", "num_pong_bytes", "ignored"});
    c.emplace_back(new_instance(bolt1::Pong{}), std::vector{"ty", "ignored"});
    return c;
  }();
  std::size_t count = 0;
  for (const auto& [obj, names] : cases) {
    for (const char* name : names) {
      SCOPED_TRACE(name);
      EXPECT_EQ(assign(obj.get(), name, nullptr), "AttributeError: can't delete attribute");
      ++count;
    }
  }
  EXPECT_EQ(count, 15u);
  EXPECT_EQ(contents<bolt1::Init>(cases[0].first).ty, 16);
}

// A BitFlag is copied deeply with its len taken as it is, and the object itself is not kept.
TEST_F(SettersTest, BitFlagAssignmentCopies) {
  PyRef init = new_instance(bolt1::Init{});
  PyRef flag = bitflag({1, 2, 3});
  const Py_ssize_t refs_before = Py_REFCNT(flag.get());
  ASSERT_EQ(assign(init.get(), "globalfeatures", flag.get()), "");
  ASSERT_EQ(assign(init.get(), "features", flag.get()), "");
  EXPECT_EQ(Py_REFCNT(flag.get()), refs_before);

  contents<BitFlag>(flag).bytes[0] = 9;
  EXPECT_EQ(contents<bolt1::Init>(init).globalfeatures, (BitFlag{{1, 2, 3}}));
  EXPECT_EQ(contents<bolt1::Init>(init).features, (BitFlag{{1, 2, 3}}));

  PyRef odd = bitflag({7});
  ASSERT_EQ(assign(init.get(), "features", odd.get()), "");
  EXPECT_EQ(contents<bolt1::Init>(init).features.len(), 1);
  EXPECT_EQ(contents<bolt1::Init>(init).features.bytes, Bytes{7});
}

// A Stream is copied record by record, value bytes included, and shows up in wire().
TEST_F(SettersTest, StreamAssignmentCopiesDeeply) {
  PyRef init = new_instance(bolt1::Init{});
  PyRef stream = new_instance(two_records());
  ASSERT_EQ(assign(init.get(), "init_tlvs", stream.get()), "");
  contents<Stream>(stream) = keldrin::testing::Records({{5, {0}}});
  EXPECT_EQ(contents<bolt1::Init>(init).init_tlvs, two_records());

  PyRef wire = PyRef::steal(PyObject_CallMethod(init.get(), "wire", nullptr));
  ASSERT_TRUE(wire);
  PyRef expected = eval("[0, 16, 0, 0, 0, 0, 1, 2, 0xaa, 0xbb, 0xfd, 0, 0xfd, 0]");
  EXPECT_EQ(PyObject_RichCompareBool(wire.get(), expected.get(), Py_EQ), 1);

  PyRef empty = new_instance(Stream{});
  ASSERT_EQ(assign(init.get(), "init_tlvs", empty.get()), "");
  EXPECT_EQ(contents<bolt1::Init>(init).init_tlvs, Stream{});
}

// Each copy attribute takes its own class only, with the attribute's name on the error.
TEST_F(SettersTest, CopyAttributesRefuseTheOtherClass) {
  PyRef init = new_instance(bolt1::Init{});
  PyRef error = new_instance(bolt1::Error{});
  PyRef flag = bitflag({1});
  PyRef stream = new_instance(two_records());
  EXPECT_EQ(assign(init.get(), "init_tlvs", flag.get()),
            "TypeError: argument 'init_tlvs': 'BitFlag' object cannot be converted to 'Stream'");
  EXPECT_EQ(assign(init.get(), "features", stream.get()),
            "TypeError: argument 'features': 'Stream' object cannot be converted to 'BitFlag'");
  EXPECT_EQ(assign(error.get(), "data", init.get()),
            "TypeError: argument 'data': 'Init' object cannot be converted to 'BitFlag'");
  EXPECT_TRUE(contents<bolt1::Init>(init).features.bytes.empty());
}

// The message classes store each field from its own setter.
TEST_F(SettersTest, MessageFieldsAreStored) {
  PyRef ping = new_instance(bolt1::Ping{});
  PyRef pong = new_instance(bolt1::Pong{});
  PyRef warning = new_instance(bolt1::Warning{});
  PyRef flag = bitflag({4, 5});
  PyRef n = eval("65535");
  ASSERT_EQ(assign(ping.get(), "num_pong_bytes", n.get()), "");
  ASSERT_EQ(assign(ping.get(), "ty", eval("18").get()), "");
  ASSERT_EQ(assign(ping.get(), "ignored", flag.get()), "");
  ASSERT_EQ(assign(pong.get(), "ignored", flag.get()), "");
  ASSERT_EQ(assign(warning.get(), "data", flag.get()), "");
  EXPECT_EQ(contents<bolt1::Ping>(ping).num_pong_bytes, 65535);
  EXPECT_EQ(contents<bolt1::Ping>(ping).ty, 18);
  EXPECT_EQ(contents<bolt1::Ping>(ping).ignored, (BitFlag{{4, 5}}));
  EXPECT_EQ(contents<bolt1::Pong>(pong).ignored, (BitFlag{{4, 5}}));
  EXPECT_EQ(contents<bolt1::Warning>(warning).data, (BitFlag{{4, 5}}));
}

struct U16Case {
  const char* value;
  const char* error;  // "" for success
  int stored;
};

// ctest names the cases by their printed parameter: print the Python expression, not the
// struct's bytes (pointers that change with every build), so that `ctest -R` can select one.
void PrintTo(const U16Case& c, std::ostream* os) { *os << c.value; }

class U16SetterTest : public SettersTest, public ::testing::WithParamInterface<U16Case> {};

// Every 16-bit attribute of every class shares the unsigned 16-bit conversion and its error texts.
TEST_P(U16SetterTest, ConvertsOrRefuses) {
  const U16Case& c = GetParam();
  exec("class Idx:\n    def __index__(self): return 7\n");
  PyRef init = new_instance(bolt1::Init{}), error = new_instance(bolt1::Error{}),
        warning = new_instance(bolt1::Warning{}), ping = new_instance(bolt1::Ping{}),
        pong = new_instance(bolt1::Pong{});
  const struct { const PyRef& obj; const char* name; std::uint16_t& field; } fields[] = {
      {init, "ty", contents<bolt1::Init>(init).ty},
      {error, "ty", contents<bolt1::Error>(error).ty},
      {warning, "ty", contents<bolt1::Warning>(warning).ty},
      {ping, "ty", contents<bolt1::Ping>(ping).ty},
      {ping, "num_pong_bytes", contents<bolt1::Ping>(ping).num_pong_bytes},
      {pong, "ty", contents<bolt1::Pong>(pong).ty},
  };
  PyRef value = eval(c.value);
  ASSERT_TRUE(value);
  for (const auto& f : fields) {
    SCOPED_TRACE(std::string(Py_TYPE(f.obj.get())->tp_name) + "." + f.name);
    f.field = 0x1234;
    std::string expected = c.error;
    if (expected.rfind("TypeError: ", 0) == 0) {
      expected.insert(11, std::string("argument '") + f.name + "': ");
    }
    EXPECT_EQ(assign(f.obj.get(), f.name, value.get()), expected);
    EXPECT_EQ(f.field, c.stored < 0 ? 0x1234 : c.stored);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, U16SetterTest,
    ::testing::Values(
        U16Case{"0", "", 0}, U16Case{"65535", "", 65535}, U16Case{"256", "", 256},
        U16Case{"True", "", 1},
        U16Case{"Idx()", "", 7},
        U16Case{"65536", "OverflowError: out of range integral type conversion attempted", -1},
        U16Case{"-1", "OverflowError: out of range integral type conversion attempted", -1},
        U16Case{"2**63", "OverflowError: Python int too large to convert to C long", -1},
        U16Case{"1.5", "TypeError: 'float' object cannot be interpreted as an integer", -1},
        U16Case{"'a'", "TypeError: 'str' object cannot be interpreted as an integer", -1}));

struct ChannelIdCase {
  const char* value;
  const char* error;  // "" for success
  std::uint8_t first;
};

void PrintTo(const ChannelIdCase& c, std::ostream* os) { *os << c.value; }

class ChannelIdTest : public SettersTest, public ::testing::WithParamInterface<ChannelIdCase> {};

// channel_id takes exactly 32 byte values from any sequence; on failure the old bytes remain.
TEST_P(ChannelIdTest, ConvertsOrKeepsTheOldBytes) {
  const ChannelIdCase& c = GetParam();
  PyRef objects[] = {new_instance(bolt1::Error{}), new_instance(bolt1::Warning{})};
  for (const PyRef& obj : objects) {
    auto& id = instance_of<bolt1::ChannelMessage>(obj.get()).contents.channel_id;
    id.fill(0xee);
    EXPECT_EQ(assign(obj.get(), "channel_id", eval(c.value).get()), c.error);
    EXPECT_EQ(id[0], *c.error ? 0xee : c.first);
    EXPECT_EQ(id[31], *c.error ? 0xee : c.first);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, ChannelIdTest,
    ::testing::Values(
        ChannelIdCase{"bytes(32)", "", 0}, ChannelIdCase{"bytearray([1] * 32)", "", 1},
        ChannelIdCase{"[255] * 32", "", 255}, ChannelIdCase{"(2,) * 32", "", 2},
        ChannelIdCase{"Seq([3] * 32)", "", 3},
        ChannelIdCase{"[]", "ValueError: expected a sequence of length 32 (got 0)", 0},
        ChannelIdCase{"[0] * 31", "ValueError: expected a sequence of length 32 (got 31)", 0},
        ChannelIdCase{"[0] * 33", "ValueError: expected a sequence of length 32 (got 33)", 0},
        ChannelIdCase{"5", "TypeError: argument 'channel_id': 'int' object cannot be converted to 'Sequence'", 0},
        ChannelIdCase{"'a' * 32", "TypeError: argument 'channel_id': 'str' object cannot be interpreted as an integer", 0},
        ChannelIdCase{"[0] * 31 + [256]", "OverflowError: out of range integral type conversion attempted", 0},
        ChannelIdCase{"Seq([0] * 32, 5, TypeError('bad item'))", "TypeError: argument 'channel_id': bad item", 0},
        ChannelIdCase{"Seq([0] * 32, 5, KeyError('k'))", "KeyError: 'k'", 0},
        ChannelIdCase{"type('L', (Seq,), {'__len__': lambda s: 1 // 0})([0] * 32)",
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
