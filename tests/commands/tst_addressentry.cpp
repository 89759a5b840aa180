#include "bus/frames.h"
#include "commands/addressentry.h"

#include <QRandomGenerator>
#include <QTest>

using Verdict = AddressEntry::Verdict;

class TestAddressEntry : public QObject
{
    Q_OBJECT
private slots:
    void acceptsDigitsWhoseValueIsOneTo126_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<int>("address");
        QTest::newRow("1") << "1" << 1;
        QTest::newRow("126") << "126" << 126;
        QTest::newRow("007") << "007" << 7;
        QTest::newRow("many leading zeros") << "0000000000007" << 7;
        QTest::newRow("099") << "099" << 99;
    }
    void acceptsDigitsWhoseValueIsOneTo126()
    {
        QFETCH(QString, entry);
        QFETCH(int, address);
        const AddressEntry checked = AddressEntry::check(entry);
        QCOMPARE(checked.verdict, Verdict::Valid);
        QCOMPARE(checked.address, address);
    }

    void refusesEverythingElse_data()
    {
        QTest::addColumn<QString>("entry");
        for (const char *e : {"127", "0", "000", "-5", "5a", "1.5", " 5", "5 ", "+5", "1e2",
                              "99999999999999999999", "00000000000000000000127", "4294967303"})
            QTest::newRow(e) << QString::fromLatin1(e);
        QTest::newRow("arabic-indic five") << QStringLiteral("\u0665");
        QTest::newRow("fullwidth five") << QStringLiteral("\uFF15");
        QTest::newRow("digit then NUL") << QString::fromLatin1("5\0", 2);
    }
    void refusesEverythingElse()
    {
        QFETCH(QString, entry);
        QCOMPARE(AddressEntry::check(entry).verdict, Verdict::Invalid);
    }

    void anEmptyEntryIsNeitherValidNorInvalid()
    {
        QCOMPARE(AddressEntry::check(QString()).verdict, Verdict::Empty);
        QCOMPARE(AddressEntry::check(QStringLiteral("")).verdict, Verdict::Empty);
    }

    // Over many generated entries, the address goes out exactly when every character is
    // an ASCII digit and the value is 1..126, and the frame carries it as three digits.
    void generatedEntriesAreJudgedByTheirCharactersAndValue()
    {
        QRandomGenerator random(20261207);
        const QString alphabet = QStringLiteral("0123456789000000 +-.,aZ\t\u0665\u00e9\uFF11");
        int accepted = 0;
        for (int i = 0; i < 20000; ++i) {
            const int length =
                random.bounded(100) < 90 ? random.bounded(1, 5) : random.bounded(5, 40);
            QString entry;
            for (int c = 0; c < length; ++c)
                entry += alphabet[random.bounded(alphabet.size())];

            bool allDigits = true;
            for (QChar c : entry)
                allDigits = allDigits && c.unicode() >= '0' && c.unicode() <= '9';
            // An independent reference: the value in arbitrary precision, clamped.
            long long value = 0;
            for (QChar c : entry)
                value = std::min(1000LL, value * 10 + (c.unicode() - '0'));
            const bool shouldSend = allDigits && value >= 1 && value <= 126;

            const AddressEntry checked = AddressEntry::check(entry);
            QVERIFY2((checked.verdict == Verdict::Valid) == shouldSend, qPrintable(entry));
            if (shouldSend) {
                ++accepted;
                QCOMPARE(checked.address, int(value));
                const QByteArray frame = frames::setAddressFrame(checked.address);
                QCOMPARE(frame.mid(5, 3), QByteArray::number(value).rightJustified(3, '0'));
            }
        }
        QVERIFY2(accepted > 1000, "the generator hardly produced valid entries");
    }
};

QTEST_APPLESS_MAIN(TestAddressEntry)
#include "tst_addressentry.moc"
