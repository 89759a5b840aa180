#pragma once

#include <QByteArray>
#include <QString>

// The bytes the PC puts on the reader line.
namespace frames {

constexpr char ACK = 0x06;
constexpr char STX = 0x02;
constexpr char ETX = 0x03;

constexpr int FirstAddress = 0;
constexpr int LastAddress = 126;

// Three digits with leading zeros ("000".."126"), as shown to people and sent on the line.
QString addressText(int address);

// The single byte written by itself ahead of every frame.
QByteArray ackFrame();

// Address byte, STX, '?', ETX.
QByteArray pollFrame(int address);

// A reader's reply starts with STX or ACK; any other first byte is no reader's.
constexpr bool isReplyStart(char firstByte)
{
    return firstByte == STX || firstByte == ACK;
}

// Always addressed to address 0: 0x80 STX 0x00 "IA" + three digits + ETX.
QByteArray setAddressFrame(int newAddress);

} // namespace frames
