#include "sim/frameparser.h"

#include <QList>
#include <QTest>

namespace {

// Feeds every byte and collects the frames that came out.
QList<sim::Frame> parseAll(sim::FrameParser &parser, const QByteArray &bytes)
{
    QList<sim::Frame> frames;
    for (char byte : bytes) {
        if (const std::optional<sim::Frame> frame = parser.feed(quint8(byte)))
            frames.append(*frame);
    }
    return frames;
}

QByteArray poll(int address)
{
    const char bytes[] = {char(0x80 + address), 0x02, 0x3F, 0x03};
    return QByteArray(bytes, 4);
}

QByteArray setAddress(const QByteArray &digits)
{
    return QByteArray("\x80\x02\x00\x49\x41", 5) + digits + QByteArray(1, '\x03');
}

} // namespace

class TestFrameParser : public QObject
{
    Q_OBJECT

private slots:
    void pollFrames_data();
    void pollFrames();
    void completesOnlyOnEtx();
    void ackAndGarbageBeforeFrameIgnored();
    void addressByteDropsPartialFrame();
    void malformedPollsRejected_data();
    void malformedPollsRejected();
    void overlongGarbageDoesNotAccumulate();
    void setAddressFrames_data();
    void setAddressFrames();
    void malformedSetAddressRejected_data();
    void malformedSetAddressRejected();
    void decodeRejectsIncompleteFrames();
};

void TestFrameParser::pollFrames_data()
{
    QTest::addColumn<int>("address");
    QTest::newRow("0") << 0;
    QTest::newRow("5") << 5;
    QTest::newRow("63") << 63;
    QTest::newRow("126") << 126;
}

void TestFrameParser::pollFrames()
{
    QFETCH(int, address);
    sim::FrameParser parser;
    const QList<sim::Frame> frames = parseAll(parser, poll(address));
    QCOMPARE(frames.size(), 1);
    QCOMPARE(frames[0].kind, sim::Frame::Poll);
    QCOMPARE(frames[0].address, address);
    QVERIFY(!parser.inFrame());
}

void TestFrameParser::completesOnlyOnEtx()
{
    sim::FrameParser parser;
    const QByteArray frame = poll(9);
    QVERIFY(!parser.feed(quint8(frame[0])));
    QVERIFY(parser.inFrame());
    QVERIFY(!parser.feed(quint8(frame[1])));
    QVERIFY(!parser.feed(quint8(frame[2])));
    QVERIFY(parser.inFrame());
    const std::optional<sim::Frame> done = parser.feed(quint8(frame[3]));
    QVERIFY(done.has_value());
    QCOMPARE(done->address, 9);
}

void TestFrameParser::ackAndGarbageBeforeFrameIgnored()
{
    sim::FrameParser parser;
    const QByteArray garbage("\x06\x03\x02\x3F\x03\x00\x41", 7);
    QVERIFY(parseAll(parser, garbage).isEmpty());
    QVERIFY(!parser.inFrame());

    const QList<sim::Frame> frames = parseAll(parser, garbage + QByteArray(1, '\x06') + poll(17));
    QCOMPARE(frames.size(), 1);
    QCOMPARE(frames[0].address, 17);
}

void TestFrameParser::addressByteDropsPartialFrame()
{
    sim::FrameParser parser;
    // A poll to 5 cut off after "?" by a poll to 7; then a set-address cut off by a poll.
    const QByteArray bytes =
        poll(5).left(3) + poll(7) + setAddress("012").left(6) + poll(8) + poll(5).left(2);
    const QList<sim::Frame> frames = parseAll(parser, bytes);
    QCOMPARE(frames.size(), 2);
    QCOMPARE(frames[0].address, 7);
    QCOMPARE(frames[1].kind, sim::Frame::Poll);
    QCOMPARE(frames[1].address, 8);
    QVERIFY(parser.inFrame());

    parser.reset();
    QVERIFY(!parser.inFrame());
    QVERIFY(parseAll(parser, QByteArray("\x3F\x03", 2)).isEmpty());
}

void TestFrameParser::malformedPollsRejected_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("address 127") << QByteArray("\xFF\x02\x3F\x03", 4);
    QTest::newRow("no STX") << QByteArray("\x85\x3F\x03", 3);
    QTest::newRow("wrong command") << QByteArray("\x85\x02\x3E\x03", 4);
    QTest::newRow("STX replaced") << QByteArray("\x85\x01\x3F\x03", 4);
    QTest::newRow("extra byte") << QByteArray("\x85\x02\x3F\x3F\x03", 5);
    QTest::newRow("bare ETX") << QByteArray("\x85\x03", 2);
}

void TestFrameParser::malformedPollsRejected()
{
    QFETCH(QByteArray, bytes);
    sim::FrameParser parser;
    QVERIFY(parseAll(parser, bytes).isEmpty());
    QVERIFY(!parser.inFrame());
    // The parser is not left confused by the bad frame.
    QCOMPARE(parseAll(parser, poll(4)).size(), 1);
}

void TestFrameParser::overlongGarbageDoesNotAccumulate()
{
    sim::FrameParser parser;
    QByteArray bytes(1, '\x85');
    bytes += QByteArray(100, '\x41');
    QVERIFY(parseAll(parser, bytes).isEmpty());
    QVERIFY(!parser.inFrame());
    // An ETX long after the address byte must not complete anything either.
    QVERIFY(parseAll(parser, QByteArray("\x02\x3F\x03", 3)).isEmpty());
    QCOMPARE(parseAll(parser, poll(4)).size(), 1);
}

void TestFrameParser::setAddressFrames_data()
{
    QTest::addColumn<QByteArray>("digits");
    QTest::addColumn<int>("newAddress");
    QTest::newRow("001") << QByteArray("001") << 1;
    QTest::newRow("007") << QByteArray("007") << 7;
    QTest::newRow("042") << QByteArray("042") << 42;
    QTest::newRow("126") << QByteArray("126") << 126;
}

void TestFrameParser::setAddressFrames()
{
    QFETCH(QByteArray, digits);
    QFETCH(int, newAddress);
    sim::FrameParser parser;
    const QList<sim::Frame> frames = parseAll(parser, QByteArray(1, '\x06') + setAddress(digits));
    QCOMPARE(frames.size(), 1);
    QCOMPARE(frames[0].kind, sim::Frame::SetAddress);
    QCOMPARE(frames[0].address, 0);
    QCOMPARE(frames[0].newAddress, newAddress);
}

void TestFrameParser::malformedSetAddressRejected_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("000") << setAddress("000");
    QTest::newRow("127") << setAddress("127");
    QTest::newRow("999") << setAddress("999");
    QTest::newRow("letter") << setAddress("1x3");
    QTest::newRow("space") << setAddress(" 12");
    QTest::newRow("sign") << setAddress("+12");
    QTest::newRow("two digits") << QByteArray("\x80\x02\x00\x49\x41\x31\x32\x03", 8);
    QTest::newRow("not to address 0") << QByteArray("\x81\x02\x00\x49\x41\x30\x30\x37\x03", 9);
    QTest::newRow("wrong command") << QByteArray("\x80\x02\x00\x49\x42\x30\x30\x37\x03", 9);
    QTest::newRow("no STX") << QByteArray("\x80\x01\x00\x49\x41\x30\x30\x37\x03", 9);
    QTest::newRow("missing zero") << QByteArray("\x80\x02\x01\x49\x41\x30\x30\x37\x03", 9);
}

void TestFrameParser::malformedSetAddressRejected()
{
    QFETCH(QByteArray, bytes);
    sim::FrameParser parser;
    QVERIFY(parseAll(parser, bytes).isEmpty());
    QVERIFY(!sim::FrameParser::decode(bytes).has_value());
}

void TestFrameParser::decodeRejectsIncompleteFrames()
{
    QVERIFY(!sim::FrameParser::decode(QByteArray()).has_value());
    QVERIFY(!sim::FrameParser::decode(poll(3).left(3)).has_value());
    QVERIFY(!sim::FrameParser::decode(poll(3).mid(1)).has_value());
    const std::optional<sim::Frame> whole = sim::FrameParser::decode(poll(3));
    QVERIFY(whole.has_value());
    QCOMPARE(whole->address, 3);
}

QTEST_GUILESS_MAIN(TestFrameParser)
#include "tst_simframeparser.moc"
