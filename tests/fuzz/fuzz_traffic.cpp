// libFuzzer target: what the line brings back, which through a network serial server is
// a network peer's to choose, taken apart into the program's own echo and a master's
// frames. Beyond the sanitizers' own checks it holds them to their bounds: an echo set
// aside is never longer than what came, and a frame found is one.
#include "bus/traffic.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray all(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QByteArray frame = traffic::masterFrame(all);
    if (!frame.isEmpty() && (!all.contains(frame) || (frame.size() != 4 && frame.size() != 9)))
        __builtin_trap();

    // The first byte says how much is written before each window; the rest comes back in
    // pieces of the second byte's size.
    EchoAccount echo;
    const qsizetype written = size > 0 ? data[0] % 12 : 0;
    const qsizetype piece = size > 1 ? data[1] % 8 + 1 : 1;
    bool windowOver = false;
    for (qsizetype at = 2; at < all.size(); at += written + piece) {
        echo.wrote(all.mid(at, written));
        const QByteArray received = all.mid(at + written, piece);
        windowOver = !windowOver; // a discard, then a window's end, in turn
        const EchoAccount::Settled settled = echo.settle(received, windowOver);
        if (settled.echoBytes < 0 || settled.echoBytes > received.size())
            __builtin_trap();
    }
    return 0;
}
