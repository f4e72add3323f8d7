#include "elevate/ElevatedResult.h"

namespace {

// Below what pkexec ends with when it refuses (126, 127).
constexpr int kMainProgramStopped = 64;
constexpr int kKindMask = kMainProgramStopped - 1;

} // namespace

int ElevatedResult::exitCode() const
{
    return int(kind) | (mainProgramStopped ? kMainProgramStopped : 0);
}

ElevatedResult ElevatedResult::fromExitCode(qint64 code)
{
    const qint64 kind = code & kKindMask;
    if (code < 0 || code > (kKindMask | kMainProgramStopped) || kind > int(Kind::Installation))
        return of(Kind::Installation, QStringLiteral("the elevated step ended with %1").arg(code));
    ElevatedResult result =
        of(Kind(kind),
           QStringLiteral("the elevated step ended with %1; the installation's log says why")
               .arg(code));
    result.mainProgramStopped = (code & kMainProgramStopped) != 0;
    return result;
}
