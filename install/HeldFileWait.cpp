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
    if (!moved.held() || m_leftMs <= 0)
        return moved;
    qInfo() << QString("Update: %1 is held by another program; trying again for up to %2 ms")
                   .arg(file)
                   .arg(m_leftMs);
    QElapsedTimer clock;
    clock.start();
    for (int pause = kFirstPauseMs; moved.held() && clock.elapsed() < m_leftMs;
         pause = qMin(2 * pause, kLongestPauseMs)) {
        QThread::msleep(ulong(qMin<qint64>(pause, m_leftMs - clock.elapsed())));
        moved = attempt();
    }
    m_leftMs -= clock.elapsed();
    qInfo() << QString("Update: %1 %2 after %3 ms")
                   .arg(file, moved.held() ? "is still held" : "came free")
                   .arg(clock.elapsed());
    return moved;
}
