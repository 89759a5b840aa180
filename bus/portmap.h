#pragma once

#include <QString>

// Which device stands behind the radios "Com 1" .. "Com 5".
// ROLLCALL_COM<n> in the environment names the device for port n on every platform
// (a USB adapter, or a pseudo-terminal in tests); otherwise COMn on Windows and
// /dev/ttyS<n-1> elsewhere.
namespace portmap {

constexpr int FirstPort = 1;
constexpr int LastPort = 5;

QString deviceFor(int port);

} // namespace portmap
