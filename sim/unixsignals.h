#pragma once

#include <QObject>

class QSocketNotifier;

namespace sim {

// Turns SIGINT/SIGTERM into a Qt signal delivered in the event loop, so the program
// can unwind normally (and remove its published link) instead of dying mid-way.
class UnixSignals : public QObject
{
    Q_OBJECT
public:
    explicit UnixSignals(QObject *parent = nullptr);
    ~UnixSignals() override;

    bool isValid() const { return m_notifier != nullptr; }

Q_SIGNALS:
    void terminationRequested(int signalNumber);

private:
    void readSignal();

    QSocketNotifier *m_notifier = nullptr;
};

} // namespace sim
