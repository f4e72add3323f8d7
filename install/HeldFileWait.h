#pragma once

#include "platform/Platform.h"

#include <QString>

#include <functional>

// Waits out files that another program holds open for a moment, as virus
// scanners and indexers do: a move refused because its file is held is
// tried again after a pause that doubles each time, until it goes through,
// fails otherwise, or the time allowed is spent. One allowance covers every
// move made through the same wait, so that a program holding many files, or
// one holding a file for good, costs no more than that in all.
class HeldFileWait
{
public:
    // What one installation, and apart from it one rollback, may spend
    // waiting: a rollback never gives up early on a file held for a moment.
    static constexpr int kAllowanceMs = 10000;
    // What replacing one of the updater's own records, or clearing its work
    // folder, may spend: another updater, or a scanner, reading a file keeps
    // Windows from replacing or removing it for that moment.
    static constexpr int kRecordAllowanceMs = 3000;

    explicit HeldFileWait(int allowanceMs = kAllowanceMs);

    // `attempt` moves `file`, which names it in the log.
    platform::FileMove move(const QString& file,
                            const std::function<platform::FileMove()>& attempt);
    // For a replacement or removal of `file` whose failure does not tell a
    // held file from other causes: `attempt` is tried again, with the same
    // pauses, while it returns false.
    bool retry(const QString& file, const std::function<bool()>& attempt);

private:
    void waitWhile(const QString& file, const char* trouble,
                   const std::function<bool()>& stillHeld);

    qint64 m_leftMs;
};
