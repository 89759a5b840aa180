#include "line/hangupwatch.h"

// Windows reports a pulled adapter through QSerialPort's own error (see the class).
HangupWatch::HangupWatch(QObject *parent) : QObject(parent) {}
HangupWatch::~HangupWatch() = default;

bool HangupWatch::watch(const QSerialPort & /*port*/)
{
    return false;
}

void HangupWatch::stop() {}
