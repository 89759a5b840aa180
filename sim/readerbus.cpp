#include "sim/readerbus.h"

#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int ReadChunk = 4096;
constexpr int MaxReadPerWakeup = 64 * 1024; // so a flooding program cannot starve our writes
constexpr int BabbleChunk = 4096;
constexpr char BabbleByte = 0x55; // alternating bits: the busiest pattern a UART can send

// A master whose slave side is gone polls readable forever and reads fail with EIO.
// Our own slave fd normally prevents that; should it happen anyway, look at the line
// again only after a pause instead of spinning on it.
constexpr std::chrono::milliseconds HangupBackoff{50};

// What the line holds for a program that does not read: past it, our echo, the other
// master's polls and the replies are lost, as on a real line, and memory stays flat.
constexpr int MaxWaiting = 64 * 1024;

constexpr char ChangedEchoMask = 0x40;

// Rounded up: waking a little late is harmless, waking early only costs another loop.
int millisecondsUntil(Clock::time_point due, Clock::time_point now)
{
    if (due <= now)
        return 0;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
    return int(std::min<qint64>(wait, 60'000));
}

int earlierTimeout(int a, int b)
{
    if (a < 0)
        return b;
    if (b < 0)
        return a;
    return std::min(a, b);
}

// The speed the program set on its side of the pty, which the slave shares.
int baudOf(int slaveFd)
{
    termios settings{};
    if (::tcgetattr(slaveFd, &settings) != 0)
        return 0;
    switch (::cfgetospeed(&settings)) {
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    default:
        return 0;
    }
}

bool isTransient(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// Appends what the line has to `incoming`, up to about MaxReadPerWakeup bytes. True when
// no slave is left open.
bool readAvailable(int fd, QByteArray &incoming)
{
    char buffer[ReadChunk];
    while (incoming.size() < MaxReadPerWakeup) {
        // NOLINTNEXTLINE(clang-analyzer-unix.BlockInCriticalSection): the master is non-blocking
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0) {
            incoming.append(buffer, int(count));
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        // 0 or EIO: no slave left open.
        return count == 0 || !isTransient(errno);
    }
    return false;
}

} // namespace

ReaderBus::ReaderBus() : m_epoch(Clock::now())
{
    if (!m_wake.open() || !m_pty.open()) {
        m_pty.close();
        return;
    }
    m_worker = std::thread(&ReaderBus::run, this);
}

ReaderBus::~ReaderBus()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.wake();
    if (m_worker.joinable())
        m_worker.join();
    m_pty.close();
    m_link.remove();
}

bool ReaderBus::isValid() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pty.isOpen();
}

QString ReaderBus::slavePath() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pty.slavePath();
}

int ReaderBus::slaveFd() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pty.slaveFd();
}

bool ReaderBus::publishAt(const QString &linkPath)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pty.isOpen() && m_link.publish(m_pty.slavePath(), linkPath);
}

void ReaderBus::addReader(const Reader &reader)
{
    if (reader.address < 0 || reader.address > wire::MaxAddress) {
        qWarning("sim: ignoring reader at invalid address %d", reader.address);
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_readers[reader.address] = reader;
}

void ReaderBus::removeReader(int address)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_readers.erase(address);
}

QList<int> ReaderBus::readerAddresses() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QList<int> addresses;
    for (const auto &entry : m_readers)
        addresses.append(entry.first);
    return addresses;
}

void ReaderBus::setBabbling(bool on)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_babbling = on;
    }
    m_wake.wake();
}

qint64 ReaderBus::babbleBytesSent() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_babbleBytes;
}

void ReaderBus::injectNoise(const QByteArray &bytes)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_outbox.append(bytes);
    }
    m_wake.wake();
}

void ReaderBus::setEcho(Echo mode)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_echo = mode;
    m_echoFollowsAddress = false;
}

void ReaderBus::setOtherMaster(std::chrono::milliseconds period)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_otherMasterPeriod = std::max(period, std::chrono::milliseconds::zero());
        m_otherMasterDue = Clock::now() + m_otherMasterPeriod;
    }
    m_wake.wake();
}

void ReaderBus::unplug()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_worker.joinable()) {
        m_pty.close();
        return;
    }
    // The worker may be inside poll() on the master, so it closes the fds itself.
    m_unplugRequested = true;
    m_wake.wake();
    m_changed.wait(lock, [this] { return !m_unplugRequested; });
}

QList<TraceEntry> ReaderBus::trace() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_trace;
}

QList<TraceEntry> ReaderBus::takeTrace()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QList<TraceEntry> entries;
    entries.swap(m_trace);
    return entries;
}

QByteArray ReaderBus::received() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

QByteArray ReaderBus::sent() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sent;
}

void ReaderBus::clearTrace()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_trace.clear();
    m_received.clear();
    m_sent.clear();
}

void ReaderBus::setKeepsTraffic(bool keep)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_keepsTraffic = keep;
    if (!keep) {
        m_received.clear();
        m_sent.clear();
    }
}

bool ReaderBus::waitForReceived(int byteCount, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_received.size() >= byteCount; });
}

QString ReaderBus::formatTrace() const
{
    return sim::formatTrace(trace());
}

qint64 ReaderBus::elapsedNanoseconds() const
{
    return sinceEpoch(Clock::now());
}

void ReaderBus::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        if (m_unplugRequested) {
            m_pty.close();
            m_scheduled.clear();
            m_unplugRequested = false;
            m_changed.notify_all();
        }

        const int fd = m_pty.masterFd();
        const Clock::time_point now = Clock::now();
        moveDueReplies(now);
        pollAsOtherMaster(fd, now);
        writeWaiting(fd, now);

        // Sleep until the line has something for us, the next reply is due, or
        // another thread wakes us. POLLOUT only while something waits to be sent,
        // otherwise an idle, writable pty would wake us continuously.
        const bool watchLine = fd >= 0 && now >= m_hangupUntil;
        const bool wantWrite = !m_outbox.isEmpty() || m_babbling;
        int timeout = -1;
        if (!m_scheduled.empty())
            timeout = millisecondsUntil(m_scheduled.begin()->first, now);
        timeout = earlierTimeout(timeout, untilOtherMaster(fd, now));
        if (fd >= 0 && !watchLine)
            timeout = earlierTimeout(timeout, millisecondsUntil(m_hangupUntil, now));
        lock.unlock();

        pollfd fds[2] = {{m_wake.readFd(), POLLIN, 0},
                         {fd, short(POLLIN | (wantWrite ? POLLOUT : 0)), 0}};
        const int ready = ::poll(fds, watchLine ? 2 : 1, timeout);
        if (ready > 0 && (fds[0].revents & POLLIN))
            m_wake.drain();

        // Only this thread closes the master, so reading it unlocked is safe.
        QByteArray incoming;
        bool hungUp = ready < 0 && errno != EINTR;
        if (watchLine && ready > 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            hungUp = readAvailable(fd, incoming);
        const Clock::time_point readAt = Clock::now();

        lock.lock();
        if (!incoming.isEmpty())
            handleIncoming(incoming.constData(), int(incoming.size()), readAt);
        if (hungUp)
            m_hangupUntil = readAt + HangupBackoff;
    }
}

void ReaderBus::writeWaiting(int fd, Clock::time_point now)
{
    if (fd < 0)
        m_outbox.clear(); // unplugged: nobody left to send to

    bool lineUp = fd >= 0 && now >= m_hangupUntil;
    if (lineUp && !m_outbox.isEmpty())
        lineUp = writePending(fd);
    if (lineUp && m_outbox.isEmpty() && m_babbling)
        lineUp = writeBabble(fd);
    if (fd >= 0 && now >= m_hangupUntil && !lineUp)
        m_hangupUntil = now + HangupBackoff;
}

void ReaderBus::handleIncoming(const char *data, int size, Clock::time_point at)
{
    record(TraceEntry::FromProgram, data, size, at);
    if (m_keepsTraffic)
        m_received.append(data, size);
    for (int i = 0; i < size; ++i) {
        if (const std::optional<Frame> frame = m_parser.feed(quint8(data[i])))
            handleFrame(*frame, at);
    }
    echo(data, size);
    m_changed.notify_all();
}

void ReaderBus::handleFrame(const Frame &frame, Clock::time_point at)
{
    const auto it = m_readers.find(frame.address);
    if (it == m_readers.end() || !hearsAt(it->second, baudOf(m_pty.slaveFd())))
        return;

    switch (frame.kind) {
    case Frame::Poll:
        // Timed from the end of the frame, not from a quiet gap after it.
        if (const std::optional<Reply> reply = replyTo(it->second))
            m_scheduled.emplace(at + reply->after, reply->bytes);
        break;
    case Frame::SetAddress: {
        if (!it->second.takesNewAddress)
            break;
        Reader moved = it->second;
        m_readers.erase(it);
        moved.address = frame.newAddress;
        m_readers[moved.address] = moved;
        break;
    }
    }
}

void ReaderBus::moveDueReplies(Clock::time_point now)
{
    while (!m_scheduled.empty() && m_scheduled.begin()->first <= now) {
        queueForProgram(m_scheduled.begin()->second);
        m_scheduled.erase(m_scheduled.begin());
    }
}

// Queued at once, while a reply waits for its time in m_scheduled: the echo always
// goes first.
void ReaderBus::echo(const char *data, int size)
{
    if (m_echo == Echo::Off)
        return;
    QByteArray bytes(data, size);
    if (m_echo == Echo::Changed) {
        for (char &byte : bytes) {
            const bool isAddress = quint8(byte) >= wire::AddressBase;
            if (m_echoFollowsAddress)
                byte = char(byte ^ ChangedEchoMask);
            m_echoFollowsAddress = isAddress;
        }
    }
    queueForProgram(bytes);
}

// Nobody is left to hear it once the line is unplugged.
void ReaderBus::pollAsOtherMaster(int fd, Clock::time_point now)
{
    if (fd < 0 || m_otherMasterPeriod.count() <= 0 || now < m_otherMasterDue)
        return;
    // Keeps to its beat after a late turn, but does not hurry to make up a longer stall.
    m_otherMasterDue += m_otherMasterPeriod;
    if (m_otherMasterDue <= now)
        m_otherMasterDue = now + m_otherMasterPeriod;

    auto next = m_readers.upper_bound(m_otherMasterPolled);
    if (next == m_readers.end())
        next = m_readers.begin();
    const int address = next == m_readers.end() ? 1 : next->first;
    m_otherMasterPolled = address;

    const char bytes[] = {char(wire::Ack), char(wire::AddressBase + address), char(wire::Stx), '?',
                          char(wire::Etx)};
    queueForProgram(QByteArray(bytes, int(sizeof bytes)));
    handleFrame(Frame{Frame::Poll, address, 0}, now);
}

int ReaderBus::untilOtherMaster(int fd, Clock::time_point now) const
{
    if (fd < 0 || m_otherMasterPeriod.count() <= 0)
        return -1;
    return millisecondsUntil(m_otherMasterDue, now);
}

void ReaderBus::queueForProgram(const QByteArray &bytes)
{
    if (m_outbox.size() < MaxWaiting)
        m_outbox.append(bytes);
}

bool ReaderBus::writePending(int fd)
{
    while (!m_outbox.isEmpty()) {
        const ssize_t count = ::write(fd, m_outbox.constData(), size_t(m_outbox.size()));
        if (count > 0) {
            record(TraceEntry::ToProgram, m_outbox.constData(), int(count), Clock::now());
            if (m_keepsTraffic)
                m_sent.append(m_outbox.constData(), int(count));
            m_outbox.remove(0, int(count));
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        return count < 0 && isTransient(errno); // full: wait for POLLOUT
    }
    return true;
}

bool ReaderBus::writeBabble(int fd)
{
    static const QByteArray chunk(BabbleChunk, BabbleByte);
    const ssize_t count = ::write(fd, chunk.constData(), size_t(chunk.size()));
    if (count > 0) {
        m_babbleBytes += count;
        return true;
    }
    return count < 0 && isTransient(errno);
}

void ReaderBus::record(TraceEntry::Direction direction, const char *data, int size,
                       Clock::time_point at)
{
    const qint64 nanoseconds = sinceEpoch(at);
    for (int i = 0; i < size; ++i)
        m_trace.append(TraceEntry{nanoseconds, direction, quint8(data[i])});
}

qint64 ReaderBus::sinceEpoch(Clock::time_point at) const
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at - m_epoch).count();
}

} // namespace sim
