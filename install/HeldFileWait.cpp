#include "install/HeldFileWait.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QThread>

namespace {

constexpr int kFirstPauseMs = 50;
constexpr int kLongestPauseMs = 1000;

} // namespace

HeldFileWait::HeldFileWait(int allowanceMs) : m_leftMs(allowanceMs) {}

platform::FileMove HeldFileWait::move(const QString& file,
                                      const std::function<platform::FileMove()>& attempt)
{
    platform::FileMove moved = attempt();
    if (moved.held())
        waitWhile(file, "is held by another program", [&] { return (moved = attempt()).held(); });
    return moved;
}

bool HeldFileWait::retry(const QString& file, const std::function<bool()>& attempt)
{
    bool done = attempt();
    if (!done)
        waitWhile(file, "cannot be replaced or removed", [&] { return !(done = attempt()); });
    return done;
}

// `stillHeld` tries once more and says whether the file is held still.
void HeldFileWait::waitWhile(const QString& file, const char* trouble,
                             const std::function<bool()>& stillHeld)
{
    if (m_leftMs <= 0)
        return;
    qInfo() << QString("Update: %1 %2; trying again for up to %3 ms")
                   .arg(file, QLatin1String(trouble))
                   .arg(m_leftMs);
    QElapsedTimer clock;
    clock.start();
    bool held = true;
    for (int pause = kFirstPauseMs; held && clock.elapsed() < m_leftMs;
         pause = qMin(2 * pause, kLongestPauseMs)) {
        QThread::msleep(ulong(qMin<qint64>(pause, m_leftMs - clock.elapsed())));
        held = stillHeld();
    }
    m_leftMs -= clock.elapsed();
    qInfo() << QString("Update: %1 %2 after %3 ms")
                   .arg(file, held ? "is still held" : "came free")
                   .arg(clock.elapsed());
}
