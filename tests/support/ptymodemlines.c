/*
 * Preloaded into Wine by the Windows tests: gives the pseudo-terminal behind COM3 the
 * modem lines a USB serial adapter has.
 *
 * A Linux pseudo-terminal answers TIOCMGET with an error. Wine's WaitCommEvent reads the
 * modem lines each time the port wakes it, and ends the wait as cancelled when it cannot,
 * so every Windows program that waits on a COM port sees "I/O operation aborted" at its
 * first byte. A real adapter reports its lines. Here a pseudo-terminal reports DTR, RTS,
 * CTS, DSR and carrier all on, and accepts changes to DTR and RTS without effect. Only the
 * answer "not a call for this device" is replaced: a hung-up terminal's EIO, every other
 * call and every other descriptor go to the C library untouched.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

/* Unix 98 pseudo-terminal slaves: majors 136 to 143. */
static int isPseudoTerminal(int fd)
{
    struct stat status;
    return fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) && major(status.st_rdev) >= 136 &&
           major(status.st_rdev) <= 143;
}

int ioctl(int fd, unsigned long request, ...)
{
    static int (*real)(int, unsigned long, ...);
    if (!real)
        real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");

    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);

    const int saved = errno;
    const int result = real(fd, request, argument);
    if (result == 0 || (errno != ENOTTY && errno != EINVAL) || !isPseudoTerminal(fd))
        return result;
    switch (request) {
    case TIOCMGET:
        *(int *)argument = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
        errno = saved;
        return 0;
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
        errno = saved;
        return 0;
    default:
        return result;
    }
}
