#pragma once

// The read-consumer protocol. Format logic never touches a file: a consumer
// names the byte range it needs next, a driver reads exactly that range and
// hands it back, and the consumer answers with its next request or its result.

#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "error/error.hpp"

namespace kolva {

using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;

// Read nothing; call receive with empty bytes.
struct Finish {
  friend bool operator==(const Finish&, const Finish&) = default;
};
// Read `length` bytes at `offset`; call receive with them.
struct ReadAndReceive {
  std::uint64_t offset;
  std::uint64_t length;
  friend bool operator==(const ReadAndReceive&, const ReadAndReceive&) = default;
};
// Read `length` bytes at `offset`; call step with them and obey its answer.
struct ReadAndStep {
  std::uint64_t offset;
  std::uint64_t length;
  friend bool operator==(const ReadAndStep&, const ReadAndStep&) = default;
};
using ReadInstruction = std::variant<Finish, ReadAndReceive, ReadAndStep>;

// The input of consumers that start from nothing.
struct NoInput {};

// A consumer: `dispatch(input)` builds it and states its first need; `step`
// takes the bytes of a ReadAndStep; `receive` (on an rvalue: it consumes the
// consumer) takes the bytes of a ReadAndReceive, or nothing after Finish.
template <class C>
concept ReadConsumer = std::movable<C> && requires(C c, ByteSpan bytes, typename C::Input input) {
  typename C::Output;
  { C::dispatch(std::move(input)) } -> std::same_as<std::pair<C, ReadInstruction>>;
  { c.step(bytes) } -> std::same_as<KolvaResult<ReadInstruction>>;
  { std::move(c).receive(bytes) } -> std::same_as<KolvaResult<typename C::Output>>;
};

// How a level's tiles are stored.
enum class TileEncoding : std::uint8_t { Jpeg, Jpeg2000, Jpeg2000YCbCr, Bmp, Tiff };

// "image/jpeg", "image/jp2", "image/bmp" or "image/tiff".
std::string_view media_type(TileEncoding encoding);

// The description of one pyramid level.
struct LevelInfo {
  std::pair<std::uint64_t, std::uint64_t> dimensions;  // width, height in pixels
  std::pair<std::uint64_t, std::uint64_t> tile_size;   // tile width, height in pixels
  std::pair<std::uint64_t, std::uint64_t> tile_grid;   // tiles across, down
  TileEncoding encoding;
  friend bool operator==(const LevelInfo&, const LevelInfo&) = default;
};

// The diagnostic lines the readers write ("Empty!!!", "Max DRI 32", ...). They go
// to standard output unless a sink is installed (tests and fuzzers do that).
using DiagnosticSink = void (*)(std::string_view line);
void set_diagnostic_sink(DiagnosticSink sink);  // nullptr restores standard output
void diagnostic_line(std::string_view line);

// Sends the calling thread's diagnostic lines to `sink` (nullptr: drops them)
// for the life of this object, whatever the process-wide sink is. The `kolva`
// package opens slides under one, so that its callers' standard output stays
// theirs.
class ScopedThreadDiagnostics {
 public:
  explicit ScopedThreadDiagnostics(DiagnosticSink sink);
  ~ScopedThreadDiagnostics();
  ScopedThreadDiagnostics(const ScopedThreadDiagnostics&) = delete;
  ScopedThreadDiagnostics& operator=(const ScopedThreadDiagnostics&) = delete;

 private:
  bool had_previous_;
  DiagnosticSink previous_;
};

// Tries L; if L fails (in step, or in receive through a mapper), runs R from
// scratch. L's error is dropped; R's error is the result.
template <ReadConsumer L, ReadConsumer R>
  requires std::same_as<typename L::Output, typename R::Output> &&
           std::same_as<typename L::Input, NoInput> && std::same_as<typename R::Input, NoInput>
class OrElseReadConsumer {
 public:
  using Input = NoInput;
  using Output = typename L::Output;

  static std::pair<OrElseReadConsumer, ReadInstruction> dispatch(NoInput) {
    auto [left, first] = L::dispatch(NoInput{});
    return {OrElseReadConsumer(Left{std::move(left)}), first};
  }

  KolvaResult<ReadInstruction> step(ByteSpan bytes) {
    if (auto* left = std::get_if<Left>(&state_)) return step_left(*left, bytes);
    if (auto* right = std::get_if<Right>(&state_)) return right->inner.step(bytes);
    return ReadInstruction{Finish{}};
  }

  KolvaResult<Output> receive(ByteSpan bytes) && {
    if (auto* right = std::get_if<Right>(&state_)) return std::move(right->inner).receive(bytes);
    if (auto* done = std::get_if<Done>(&state_)) return std::move(done->output);
    return KolvaError::Panic{"Invalid"};
  }

 private:
  struct Left {
    L inner;
  };
  struct Right {
    R inner;
  };
  struct Done {
    Output output;
  };
  using State = std::variant<Left, Right, Done>;

  explicit OrElseReadConsumer(State state) : state_(std::move(state)) {}

  KolvaResult<ReadInstruction> step_left(Left& left, ByteSpan bytes) {
    auto next = left.inner.step(bytes);
    if (!next.ok()) return start_right();
    if (const auto* read = std::get_if<ReadAndReceive>(&*next)) {
      return ReadInstruction{ReadAndStep{read->offset, read->length}};
    }
    if (std::holds_alternative<ReadAndStep>(*next)) return next;
    auto output = std::move(left.inner).receive({});
    if (!output.ok()) return start_right();
    state_.template emplace<Done>(Done{std::move(output).value()});
    return ReadInstruction{Finish{}};
  }

  ReadInstruction start_right() {
    auto [right, first] = R::dispatch(NoInput{});
    state_.template emplace<Right>(Right{std::move(right)});
    return first;
  }

  State state_;
};

// Runs A, then starts B from A's output.
template <ReadConsumer A, ReadConsumer B>
  requires std::same_as<typename B::Input, typename A::Output>
class ConcatReadConsumer {
 public:
  using Input = typename A::Input;
  using Output = typename B::Output;

  static std::pair<ConcatReadConsumer, ReadInstruction> dispatch(Input input) {
    auto [first_stage, first] = A::dispatch(std::move(input));
    return {ConcatReadConsumer(First{std::move(first_stage)}), first};
  }

  KolvaResult<ReadInstruction> step(ByteSpan bytes) {
    if (auto* first = std::get_if<First>(&state_)) {
      KOLVA_TRY(auto next, first->inner.step(bytes));
      if (std::holds_alternative<ReadAndStep>(next)) return next;
      if (const auto* read = std::get_if<ReadAndReceive>(&next)) {
        ReadAndStep as_step{read->offset, read->length};
        state_.template emplace<FirstFinishing>(FirstFinishing{std::move(first->inner)});
        return ReadInstruction{as_step};
      }
      return start_second(std::move(first->inner), {});
    }
    if (auto* finishing = std::get_if<FirstFinishing>(&state_)) {
      return start_second(std::move(finishing->inner), bytes);
    }
    return std::get<Second>(state_).inner.step(bytes);
  }

  KolvaResult<Output> receive(ByteSpan bytes) && {
    if (auto* second = std::get_if<Second>(&state_)) return std::move(second->inner).receive(bytes);
    return KolvaError::Panic{"Invalid"};
  }

 private:
  struct First {
    A inner;
  };
  struct FirstFinishing {
    A inner;
  };
  struct Second {
    B inner;
  };
  using State = std::variant<First, FirstFinishing, Second>;

  explicit ConcatReadConsumer(State state) : state_(std::move(state)) {}

  KolvaResult<ReadInstruction> start_second(A&& first_stage, ByteSpan bytes) {
    KOLVA_TRY(auto output, std::move(first_stage).receive(bytes));
    auto [second, first] = B::dispatch(std::move(output));
    state_.template emplace<Second>(Second{std::move(second)});
    return first;
  }

  State state_;
};

// A stateless mapper: `static KolvaResult<Out> map(In)`.
template <class M, class In>
concept OutputMapper = requires(In value) {
  { M::map(std::move(value)) };
};

// Runs C and maps its output with M.
template <ReadConsumer C, class M>
  requires OutputMapper<M, typename C::Output>
class MapOutput {
 public:
  using Input = typename C::Input;
  using Output =
      typename decltype(M::map(std::declval<typename C::Output>()))::value_type;

  static std::pair<MapOutput, ReadInstruction> dispatch(Input input) {
    auto [inner, first] = C::dispatch(std::move(input));
    return {MapOutput(std::move(inner)), first};
  }

  KolvaResult<ReadInstruction> step(ByteSpan bytes) { return inner_.step(bytes); }

  KolvaResult<Output> receive(ByteSpan bytes) && {
    KOLVA_TRY(auto output, std::move(inner_).receive(bytes));
    return M::map(std::move(output));
  }

 private:
  explicit MapOutput(C inner) : inner_(std::move(inner)) {}
  C inner_;
};

}  // namespace kolva
