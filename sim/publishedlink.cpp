#include "sim/publishedlink.h"

#include <QFile>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

bool isSymlinkTo(const QByteArray &path, const QByteArray &target)
{
    char buffer[4096];
    const ssize_t length = ::readlink(path.constData(), buffer, sizeof buffer);
    return length >= 0 && QByteArray(buffer, int(length)) == target;
}

} // namespace

PublishedLink::~PublishedLink()
{
    remove();
}

bool PublishedLink::publish(const QString &target, const QString &linkPath)
{
    if (target.isEmpty() || linkPath.isEmpty())
        return false;
    const QByteArray link = QFile::encodeName(linkPath);

    struct stat existing = {};
    if (::lstat(link.constData(), &existing) == 0 && !S_ISLNK(existing.st_mode))
        return false;

    // Build the link beside the final name and rename it over: the name never
    // dangles, even while a stale link from an earlier run is being replaced.
    const QByteArray temporary = link + ".tmp" + QByteArray::number(qint64(::getpid()));
    ::unlink(temporary.constData());
    if (::symlink(QFile::encodeName(target).constData(), temporary.constData()) != 0)
        return false;
    if (::rename(temporary.constData(), link.constData()) != 0) {
        ::unlink(temporary.constData());
        return false;
    }

    if (m_path != linkPath)
        remove();
    m_path = linkPath;
    m_target = target;
    return true;
}

void PublishedLink::remove()
{
    if (m_path.isEmpty())
        return;
    const QByteArray link = QFile::encodeName(m_path);
    if (isSymlinkTo(link, QFile::encodeName(m_target)))
        ::unlink(link.constData());
    m_path.clear();
    m_target.clear();
}

} // namespace sim
