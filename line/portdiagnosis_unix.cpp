#include "line/portdiagnosis.h"

#include "line/portmap.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <linux/serial.h>
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

} // namespace

PortProblem beforeOpen(const QString &device)
{
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
    return PortProblem();
}

PortProblem afterFailedOpen(const QString &device, QSerialPort::SerialPortError error,
                            const QString &errorString)
{
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
}

} // namespace PortDiagnosis
