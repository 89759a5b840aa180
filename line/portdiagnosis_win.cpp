#include "line/portdiagnosis.h"

#include "line/portmap.h"

#include <QFileInfo>

#include <string>
#include <windows.h>

namespace PortDiagnosis {

namespace {

PortProblem problem(PortProblem::Kind kind, const QString &device, const QString &reason)
{
    PortProblem p;
    p.kind = kind;
    p.device = device;
    p.systemReason = reason;
    return p;
}

// The problem a failed CreateFileW() of the port means, by GetLastError(), with the
// system's own message for it.
PortProblem fromSystemError(DWORD error, const QString &device)
{
    const QString reason = qt_error_string(static_cast<int>(error));
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
        return problem(PortProblem::Kind::DoesNotExist, device, reason);
    // Windows lets one program at a time open a port and denies access to the next. Any
    // user may open a port unless an administrator changed that, so there is no
    // NoPermission here, whose advice (the dialout group) is for Unix.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return problem(PortProblem::Kind::InUse, device, reason);
    // The name is there, the device behind it is not working or not there (a Bluetooth
    // port whose far side is off).
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_SEM_TIMEOUT:
        return problem(PortProblem::Kind::NoHardware, device, reason);
    default:
        return problem(PortProblem::Kind::Other, device, reason);
    }
}

// A name in the device namespace (\\.\COM3) or with no folder in it (COM3) is a device
// name; any other is a path in the file system.
bool isFileSystemPath(const QString &name)
{
    if (name.startsWith(QLatin1String("\\\\.\\")) || name.startsWith(QLatin1String("//./")))
        return false;
    return name.contains(QLatin1Char('\\')) || name.contains(QLatin1Char('/')) ||
           name.contains(QLatin1Char(':'));
}

} // namespace

PortProblem beforeOpen(const QString &device)
{
    // Only a path in the file system can be told apart without opening it; whether a
    // device name stands for a port, only opening it tells.
    const QString name = systemDeviceName(device);
    if (isFileSystemPath(name)) {
        const QFileInfo info(name);
        if (info.isDir())
            return problem(PortProblem::Kind::NotSerialDevice, device,
                           PortProblem::tr("it is a folder"));
        if (info.isFile())
            return problem(PortProblem::Kind::NotSerialDevice, device,
                           PortProblem::tr("it is a file"));
    }
    return PortProblem();
}

PortProblem afterFailedOpen(const QString &device, QSerialPort::SerialPortError error,
                            const QString &errorString)
{
    const PortProblem byPath = beforeOpen(device);
    if (byPath.isProblem())
        return byPath;

    // Opened again, alone, for the reason in the system's words; closed at once, nothing
    // written.
    const std::wstring name = systemDeviceName(device).toStdWString();
    const HANDLE port = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return fromSystemError(::GetLastError(), device);
    PortProblem p;
    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (::GetCommState(port, &settings) == 0)
        p = problem(PortProblem::Kind::NotSerialDevice, device,
                    qt_error_string(static_cast<int>(::GetLastError())));
    else if (error == QSerialPort::PermissionError)
        // Free now, held by another program a moment ago.
        p = problem(PortProblem::Kind::InUse, device, errorString);
    else
        p = problem(PortProblem::Kind::Other, device, errorString);
    ::CloseHandle(port);
    return p;
}

} // namespace PortDiagnosis
