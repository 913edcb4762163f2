#pragma once
#include <string>

namespace kx {

// Diagnostics are fixed English lines, each flushed at once so that they
// interleave correctly with the host application's own output.
void say(const std::string& line);       // standard output
void say_error(const std::string& line); // standard error

// The line every reshaping layer writes when its current bottoms are unusable.
void say_reshape_failed();

}  // namespace kx
