#include "system/standardstream.h"

#include <unistd.h>

namespace StandardStream {

bool isTerminal(std::FILE *stream)
{
    return ::isatty(::fileno(stream)) != 0;
}

} // namespace StandardStream
