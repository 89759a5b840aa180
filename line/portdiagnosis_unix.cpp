#include "line/portdiagnosis.h"

#include "line/portmap.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/serial.h>
#endif
#ifdef Q_OS_WIN
#include <string>
#include <windows.h>
#endif

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

#ifdef Q_OS_UNIX

QString whatItIs(mode_t mode)
{
    if (S_ISREG(mode))
        return PortProblem::tr("it is a regular file");
    if (S_ISFIFO(mode))
        return PortProblem::tr("it is a FIFO (named pipe)");
    if (S_ISDIR(mode))
        return PortProblem::tr("it is a directory");
    if (S_ISSOCK(mode))
        return PortProblem::tr("it is a socket");
    return PortProblem::tr("it is not a character device");
}

// The problem a failed stat() or open() of the device means, by errno.
PortProblem fromErrno(int error, const QString &device)
{
    const QString reason = qt_error_string(error);
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return problem(PortProblem::Kind::DoesNotExist, device, reason);
    case EACCES:
    case EPERM:
        return problem(PortProblem::Kind::NoPermission, device, reason);
    case EBUSY: // another program holds it exclusively (TIOCEXCL)
        return problem(PortProblem::Kind::InUse, device, reason);
    case EIO: // a legacy ttyS node with no UART behind it
    case ENXIO:
    case ENODEV:
        return problem(PortProblem::Kind::NoHardware, device, reason);
    default:
        return problem(PortProblem::Kind::Other, device, reason);
    }
}

bool hasNoUart(int fd)
{
#ifdef Q_OS_LINUX
    serial_struct serial{};
    return ::ioctl(fd, TIOCGSERIAL, &serial) == 0 && serial.type == PORT_UNKNOWN;
#else
    Q_UNUSED(fd);
    return false;
#endif
}

#endif // Q_OS_UNIX

#ifdef Q_OS_WIN

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

#endif // Q_OS_WIN

} // namespace

PortProblem beforeOpen(const QString &device)
{
#ifdef Q_OS_UNIX
    const QByteArray path = QFile::encodeName(device);
    struct stat info = {};
    if (::stat(path.constData(), &info) != 0) {
        const int error = errno;
        PortProblem p = fromErrno(error, device);
        // A /dev/serial/by-id link outlives the adapter it named.
        struct stat link = {};
        if (error == ENOENT && ::lstat(path.constData(), &link) == 0 && S_ISLNK(link.st_mode))
            p.systemReason = PortProblem::tr("it links to %1, which does not exist")
                                 .arg(QFileInfo(device).symLinkTarget());
        return p;
    }
    if (!S_ISCHR(info.st_mode))
        return problem(PortProblem::Kind::NotSerialDevice, device, whatItIs(info.st_mode));
#elif defined(Q_OS_WIN)
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
#endif
    return PortProblem();
}

PortProblem afterFailedOpen(const QString &device, QSerialPort::SerialPortError error,
                            const QString &errorString)
{
#ifdef Q_OS_UNIX
    // The path may have changed since beforeOpen(); an adapter can go in between.
    PortProblem byPath = beforeOpen(device);
    if (byPath.isProblem())
        return byPath;

    const int fd =
        ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fromErrno(errno, device);
    PortProblem p;
    termios settings{};
    if (!::isatty(fd))
        p = problem(PortProblem::Kind::NotSerialDevice, device, qt_error_string(ENOTTY));
    else if (::tcgetattr(fd, &settings) != 0)
        p = fromErrno(errno, device);
    else if (hasNoUart(fd))
        p = problem(PortProblem::Kind::NoHardware, device, errorString);
    else if (error == QSerialPort::PermissionError)
        // We may open it, yet QSerialPort may not: another program holds its lock file.
        p = problem(PortProblem::Kind::InUse, device, errorString);
    else
        p = problem(PortProblem::Kind::Other, device, errorString);
    ::close(fd);
    return p;
#elif defined(Q_OS_WIN)
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
#else
    Q_UNUSED(error);
    return problem(PortProblem::Kind::Other, device, errorString);
#endif
}

} // namespace PortDiagnosis
