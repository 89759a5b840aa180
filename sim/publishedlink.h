#pragma once

#include <QString>

namespace sim {

// A symlink that makes the pty reachable under a stable name (e.g. a fake /dev/ttyUSB0).
// Removed again on destruction, unless someone else has replaced it meanwhile.
class PublishedLink
{
public:
    PublishedLink() = default;
    ~PublishedLink();
    PublishedLink(const PublishedLink &) = delete;
    PublishedLink &operator=(const PublishedLink &) = delete;

    // Replaces an existing symlink at linkPath, but never a regular file or directory.
    bool publish(const QString &target, const QString &linkPath);
    void remove();
    QString path() const { return m_path; }

private:
    QString m_path;
    QString m_target;
};

} // namespace sim
