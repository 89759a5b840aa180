#pragma once

// While held, the system's timers wake the event loop on the millisecond, for a wait that
// must end on time. Windows' timers otherwise wake it only every 15.6 ms, and raising the
// resolution costs power for the whole system, so it is held no longer than the wait;
// elsewhere the timers are fine already and holding changes nothing.
class FineTimerResolution
{
public:
    FineTimerResolution() = default;
    ~FineTimerResolution() { hold(false); }
    FineTimerResolution(const FineTimerResolution &) = delete;
    FineTimerResolution &operator=(const FineTimerResolution &) = delete;

    // Asked of the system once however often it is held, and given back once.
    void hold(bool fine)
    {
        if (fine == m_held)
            return;
        m_held = fine;
        ask(fine);
    }
    bool isHeld() const { return m_held; }

private:
    static void ask(bool fine);

    bool m_held = false;
};
