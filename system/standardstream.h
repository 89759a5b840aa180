#pragma once

#include <QString>

#include <cstdio>

namespace StandardStream {

// True when the stream is a terminal a person watches, not a pipe or a file.
bool isTerminal(std::FILE *stream);

// Writes `text` and flushes it, so it is seen the moment it is known, on a pipe too. A
// Windows console is written in wide characters, which show whatever its code page is;
// anything else gets the local encoding.
void print(std::FILE *stream, const QString &text);

} // namespace StandardStream
