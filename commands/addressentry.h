#pragma once

#include <QString>

// Judges what the operator typed as a new reader address.
struct AddressEntry
{
    enum class Verdict { Empty, Invalid, Valid };

    Verdict verdict = Verdict::Empty;
    int address = 0; // 1..126 when valid

    // Only the characters "0".."9" are allowed, leading zeros included; the value must
    // lie in 1..126. A digit string of any length is judged by its value.
    static AddressEntry check(const QString &entry);
};
