// State transitions of OrElseReadConsumer, ConcatReadConsumer and MapOutput,
// driven by tiny scripted consumers that log what they are asked.

#include <string>
#include <vector>

#include "base/base.hpp"
#include "test_support.hpp"

namespace kolva::test {
namespace {

std::vector<std::string>& events() {
  static std::vector<std::string> log;
  return log;
}

// What one scripted consumer answers: its first instruction, its answers to
// successive steps, and its receive result.
struct Script {
  ReadInstruction first = ReadAndStep{0, 4};
  std::vector<KolvaResult<ReadInstruction>> steps;
  KolvaResult<int> received = 0;
};

template <char Name, class In = NoInput>
struct Scripted {
  using Input = In;
  using Output = int;
  static inline Script script;
  std::size_t next = 0;

  static std::pair<Scripted, ReadInstruction> dispatch(In input) {
    std::string event = std::string(1, Name) + ".dispatch";
    if constexpr (std::is_same_v<In, int>) event += "(" + std::to_string(input) + ")";
    events().push_back(event);
    return {Scripted{}, script.first};
  }
  KolvaResult<ReadInstruction> step(ByteSpan bytes) {
    events().push_back(std::string(1, Name) + ".step(" + std::to_string(bytes.size()) + ")");
    return script.steps.at(next++);
  }
  KolvaResult<int> receive(ByteSpan bytes) && {
    events().push_back(std::string(1, Name) + ".receive(" + std::to_string(bytes.size()) + ")");
    return script.received;
  }
};
using L = Scripted<'L'>;
using R = Scripted<'R'>;
using B = Scripted<'B', int>;

struct Plus100 {
  static KolvaResult<int> map(int v) { return v + 100; }
};
struct Reject {
  static KolvaResult<int> map(int) { return KolvaError::Decoding{"rejected"}; }
};

const KolvaError kLeftError = KolvaError::Decoding{"left"};
const KolvaError kRightError = KolvaError::Decoding{"right"};

class Combinators : public ::testing::Test {
 protected:
  void SetUp() override {
    events().clear();
    L::script = {};
    R::script = {};
    B::script = {};
  }
  const Bytes bytes4{1, 2, 3, 4};
  ByteSpan four() const { return bytes4; }
};

using OrElse = OrElseReadConsumer<L, R>;
using Then = ConcatReadConsumer<L, B>;

template <class T>
KolvaResult<T> fail(const KolvaError& e) {
  return e;
}

TEST_F(Combinators, OrElseLeftFailsOnFirstStepGivesRightsFirstInstructionAtOnce) {
  L::script.steps = {fail<ReadInstruction>(kLeftError)};
  R::script.first = ReadAndStep{0, 12};
  R::script.steps = {ReadInstruction{ReadAndReceive{50, 6}}};
  R::script.received = 9;
  auto [c, first] = OrElse::dispatch({});
  EXPECT_EQ(first, ReadInstruction(ReadAndStep{0, 4}));
  auto next = c.step(four());
  ASSERT_TRUE(next.ok());
  EXPECT_EQ(*next, ReadInstruction(ReadAndStep{0, 12}));
  // In Right the instructions pass through unchanged, ReadAndReceive included.
  auto last = c.step(Bytes(12));
  ASSERT_TRUE(last.ok());
  EXPECT_EQ(*last, ReadInstruction(ReadAndReceive{50, 6}));
  auto out = std::move(c).receive(Bytes(6));
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(*out, 9);
  EXPECT_EQ(events(), (std::vector<std::string>{"L.dispatch", "L.step(4)", "R.dispatch",
                                                "R.step(12)", "R.receive(6)"}));
}

TEST_F(Combinators, OrElseTurnsLeftsReadAndReceiveIntoReadAndStep) {
  L::script.steps = {ReadInstruction{ReadAndReceive{100, 20}}, ReadInstruction{Finish{}}};
  L::script.received = 5;
  auto [c, first] = OrElse::dispatch({});
  auto next = c.step(four());
  ASSERT_TRUE(next.ok());
  EXPECT_EQ(*next, ReadInstruction(ReadAndStep{100, 20}));
  // The 20 bytes arrive at the left side's step; its Finish is handled within the step.
  auto done = c.step(Bytes(20));
  ASSERT_TRUE(done.ok());
  EXPECT_EQ(*done, ReadInstruction(Finish{}));
  EXPECT_EQ(events(), (std::vector<std::string>{"L.dispatch", "L.step(4)", "L.step(20)",
                                                "L.receive(0)"}));
  // Done: a further step answers Finish again, receive hands over the held output.
  auto again = c.step({});
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(*again, ReadInstruction(Finish{}));
  auto out = std::move(c).receive({});
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(*out, 5);
  EXPECT_EQ(events().size(), 4U);
}

TEST_F(Combinators, OrElseLeftReceiveFailureSwitchesToRight) {
  L::script.steps = {ReadInstruction{Finish{}}};
  L::script.received = kLeftError;
  R::script.first = ReadAndStep{7, 3};
  auto [c, first] = OrElse::dispatch({});
  auto next = c.step(four());
  ASSERT_TRUE(next.ok());
  EXPECT_EQ(*next, ReadInstruction(ReadAndStep{7, 3}));
  EXPECT_EQ(events(),
            (std::vector<std::string>{"L.dispatch", "L.step(4)", "L.receive(0)", "R.dispatch"}));
}

TEST_F(Combinators, OrElseMapperFailureSwitchesToRightAndIsNotReported) {
  using Mapped = OrElseReadConsumer<MapOutput<L, Reject>, R>;
  L::script.steps = {ReadInstruction{Finish{}}};
  L::script.received = 1;
  R::script.first = Finish{};
  R::script.received = 42;
  auto [c, first] = Mapped::dispatch({});
  auto next = c.step(four());
  ASSERT_TRUE(next.ok());
  EXPECT_EQ(*next, ReadInstruction(Finish{}));
  auto out = std::move(c).receive({});
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(*out, 42);
  EXPECT_EQ(events(), (std::vector<std::string>{"L.dispatch", "L.step(4)", "L.receive(0)",
                                                "R.dispatch", "R.receive(0)"}));
}

TEST_F(Combinators, OrElseBothFailGivesRightsErrorUnchanged) {
  L::script.steps = {fail<ReadInstruction>(kLeftError)};
  R::script.steps = {fail<ReadInstruction>(kRightError)};
  auto [c, first] = OrElse::dispatch({});
  ASSERT_TRUE(c.step(four()).ok());
  auto second = c.step(four());
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().debug(), "Decoding(\"right\")");
}

TEST_F(Combinators, OrElseRightReceiveErrorPassesThrough) {
  L::script.steps = {fail<ReadInstruction>(kLeftError)};
  R::script.first = Finish{};
  R::script.received = kRightError;
  auto [c, first] = OrElse::dispatch({});
  ASSERT_TRUE(c.step(four()).ok());
  auto out = std::move(c).receive({});
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().debug(), "Decoding(\"right\")");
}

TEST_F(Combinators, OrElseReceiveWhileLeftRunsIsInvalid) {
  auto [c, first] = OrElse::dispatch({});
  auto out = std::move(c).receive({});
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().debug(), "Panic(\"Invalid\")");
  EXPECT_EQ(out.error().display(), "Invalid");
  EXPECT_EQ(events(), (std::vector<std::string>{"L.dispatch"}));
}

TEST_F(Combinators, ConcatFirstFinishStartsSecondWithinTheStep) {
  L::script.steps = {ReadInstruction{Finish{}}};
  L::script.received = 7;
  B::script.first = ReadAndStep{30, 2};
  B::script.steps = {ReadInstruction{Finish{}}};
  B::script.received = 70;
  auto [c, first] = Then::dispatch({});
  auto next = c.step(four());
  ASSERT_TRUE(next.ok());
  EXPECT_EQ(*next, ReadInstruction(ReadAndStep{30, 2}));
  auto done = c.step(Bytes(2));
  ASSERT_TRUE(done.ok());
  EXPECT_EQ(*done, ReadInstruction(Finish{}));  // the second stage's own Finish
  auto out = std::move(c).receive({});
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(*out, 70);
  EXPECT_EQ(events(), (std::vector<std::string>{"L.dispatch", "L.step(4)", "L.receive(0)",
                                                "B.dispatch(7)", "B.step(2)", "B.receive(0)"}));
}

TEST_F(Combinators, ConcatFirstReadAndReceiveBecomesStepThenReceive) {
  L::script.steps = {ReadInstruction{ReadAndStep{4, 4}}, ReadInstruction{ReadAndReceive{100, 20}}};
  L::script.received = 3;
  B::script.first = ReadAndReceive{0, 1};
  auto [c, first] = Then::dispatch({});
  auto n1 = c.step(four());
  ASSERT_TRUE(n1.ok());
  EXPECT_EQ(*n1, ReadInstruction(ReadAndStep{4, 4}));
  auto n2 = c.step(four());
  ASSERT_TRUE(n2.ok());
  EXPECT_EQ(*n2, ReadInstruction(ReadAndStep{100, 20}));
  // FirstFinishing: the 20 bytes go to the first stage's receive.
  auto n3 = c.step(Bytes(20));
  ASSERT_TRUE(n3.ok());
  EXPECT_EQ(*n3, ReadInstruction(ReadAndReceive{0, 1}));
  EXPECT_EQ(events(), (std::vector<std::string>{"L.dispatch", "L.step(4)", "L.step(4)",
                                                "L.receive(20)", "B.dispatch(3)"}));
}

TEST_F(Combinators, ConcatPassesErrorsThroughUnchanged) {
  struct Case {
    std::vector<KolvaResult<ReadInstruction>> steps;
    KolvaResult<int> received;
  };
  const std::vector<Case> cases = {
      {{fail<ReadInstruction>(kLeftError)}, 0},                          // A.step fails
      {{ReadInstruction{Finish{}}}, kLeftError},                         // A.receive after Finish
      {{ReadInstruction{ReadAndReceive{0, 1}}, ReadInstruction{Finish{}}}, kLeftError},  // FirstFinishing
  };
  for (const auto& tc : cases) {
    events().clear();
    L::script.steps = tc.steps;
    L::script.received = tc.received;
    auto [c, first] = Then::dispatch({});
    KolvaResult<ReadInstruction> r = c.step(four());
    if (r.ok()) r = c.step(Bytes(1));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().debug(), "Decoding(\"left\")");
    for (const auto& e : events()) EXPECT_NE(e.rfind("B.", 0), 0U) << e;
  }
}

TEST_F(Combinators, ConcatReceiveBeforeSecondIsInvalid) {
  {
    auto [c, first] = Then::dispatch({});
    auto out = std::move(c).receive({});
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().debug(), "Panic(\"Invalid\")");
  }
  L::script.steps = {ReadInstruction{ReadAndReceive{0, 1}}};
  auto [c, first] = Then::dispatch({});
  ASSERT_TRUE(c.step(four()).ok());  // now FirstFinishing
  auto out = std::move(c).receive(Bytes(1));
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().debug(), "Panic(\"Invalid\")");
  EXPECT_EQ(events(), (std::vector<std::string>{"L.dispatch", "L.dispatch", "L.step(4)"}));
}

TEST_F(Combinators, MapOutputMapsAndPassesErrors) {
  L::script.first = ReadAndReceive{9, 9};
  L::script.received = 1;
  auto [m, first] = MapOutput<L, Plus100>::dispatch({});
  EXPECT_EQ(first, ReadInstruction(ReadAndReceive{9, 9}));
  auto out = std::move(m).receive(Bytes(9));
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(*out, 101);

  L::script.received = kLeftError;
  auto [m2, first2] = MapOutput<L, Plus100>::dispatch({});
  auto failed = std::move(m2).receive({});
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().debug(), "Decoding(\"left\")");

  L::script.steps = {fail<ReadInstruction>(kRightError)};
  auto [m3, first3] = MapOutput<L, Plus100>::dispatch({});
  auto step_failed = m3.step(four());
  ASSERT_FALSE(step_failed.ok());
  EXPECT_EQ(step_failed.error().debug(), "Decoding(\"right\")");
}

// Through the driver: the right side reads the file again from its own first request.
TEST_F(Combinators, OrElseOverDriverRereadsFromRightsFirstRequest) {
  L::script.first = ReadAndStep{0, 4};
  L::script.steps = {ReadInstruction{ReadAndReceive{4, 2}}, fail<ReadInstruction>(kLeftError)};
  R::script.first = ReadAndStep{0, 12};
  R::script.steps = {ReadInstruction{ReadAndReceive{2, 3}}};
  R::script.received = 77;
  RecordingSource src(Bytes(16, 0xAB));
  auto out = run_consumer<OrElse>(src);
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(*out, 77);
  EXPECT_EQ(src.reads(), (Reads{{0, 4}, {4, 2}, {0, 12}, {2, 3}}));
}

}  // namespace
}  // namespace kolva::test
