#pragma once

#include <cstdio>

namespace StandardStream {

// True when the stream is a terminal a person watches, not a pipe or a file.
bool isTerminal(std::FILE *stream);

} // namespace StandardStream
