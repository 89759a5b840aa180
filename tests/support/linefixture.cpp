#include "linefixture.h"

LineFixture::LineFixture(int replyWindowMs)
{
    timer1.setInterval(replyWindowMs);
    timer1.setTimerType(Qt::PreciseTimer);
    port.choosePort(line.port());
    port.open();
}

void LineFixture::addReaders(std::initializer_list<int> addresses)
{
    for (int address : addresses) {
        sim::Reader reader;
        reader.address = address;
        bus().addReader(reader);
    }
}

QByteArray hex(const QByteArray &bytes)
{
    return bytes.toHex(' ').toUpper();
}
