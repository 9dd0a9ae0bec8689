#pragma once

// The ordered list of drivers, and the opening that asks them in turn.

#include <span>

#include "drivers/driver.hpp"

namespace kolva::drivers {

// Every driver, in the order they are asked.
std::span<const Driver* const> registry();

// The family with this name ("aperio", ...), or nullptr.
const Family* find_family(std::string_view name);

struct Opened {
  const Family* family;
  SlideParts parts;
};

// Probes source 0 of `sources`, then asks every driver whose detect() takes
// the probe until one opens the slide. Fails with the source's I/O error, or
// Unsupported (in words) when no driver takes the file.
SlideResult<Opened> open(SourceSet& sources, const OpenOptions& options);

}  // namespace kolva::drivers
