// libFuzzer target: the telnet/COM-PORT codec takes whatever a network server sends.
// Beyond the sanitizers' own checks, it holds the codec to its bounds: nothing it gives
// back grows faster than what it was given.
#include "line/telnetcodec.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    TelnetCodec codec;
    codec.start();
    // The first byte cuts the rest into segments, as TCP may deliver it in any pieces.
    const std::size_t step = size > 0 ? data[0] % 16 + 1 : 1;
    qsizetype given = 0;
    qsizetype lineBytes = 0;
    qsizetype answerBytes = 0;
    qsizetype events = 0;
    for (std::size_t at = size > 0 ? 1 : 0; at < size; at += step) {
        const std::size_t length = at + step <= size ? step : size - at;
        const QByteArray segment(reinterpret_cast<const char *>(data + at),
                                 static_cast<qsizetype>(length));
        given += segment.size();
        const QByteArray line = codec.receive(segment);
        lineBytes += line.size();
        answerBytes += codec.takeAnswers().size();
        for (const TelnetCodec::Event &event : codec.takeEvents()) {
            if (event.position < 0 || event.position > line.size())
                __builtin_trap();
            ++events;
        }
        if (lineBytes > given || answerBytes > given || events > given)
            __builtin_trap();
    }
    return 0;
}
