#pragma once

// A visitor made of several lambdas, one per alternative of a variant.

namespace kolva {

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

}  // namespace kolva
