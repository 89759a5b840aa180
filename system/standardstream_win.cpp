#include "system/standardstream.h"

#include <io.h>

namespace StandardStream {

bool isTerminal(std::FILE *stream)
{
    return ::_isatty(::_fileno(stream)) != 0;
}

} // namespace StandardStream
