// Starting a program with administrator rights on Windows: ShellExecuteEx
// with the verb "runas", which shows the UAC prompt.
#include "platform/Platform.h"

#include <QDir>
#include <QFileInfo>

#include <string>

#include <windows.h>

#include <shellapi.h>

namespace platform {

namespace {

QString& elevationVerb()
{
    static QString verb = QStringLiteral("runas");
    return verb;
}

// As the C runtime splits a command line: quotes around each argument,
// backslashes doubled only before a quote.
QString quotedArgument(const QString& argument)
{
    QString quoted = QStringLiteral("\"");
    int backslashes = 0;
    for (const QChar c : argument) {
        if (c == QLatin1Char('\\')) {
            ++backslashes;
            continue;
        }
        const int escaped = c == QLatin1Char('"') ? 2 * backslashes + 1 : backslashes;
        quoted += QString(escaped, QLatin1Char('\\')) + c;
        backslashes = 0;
    }
    return quoted + QString(2 * backslashes, QLatin1Char('\\')) + QLatin1Char('"');
}

QString parameterLine(const QStringList& arguments)
{
    QStringList quoted;
    for (const QString& argument : arguments)
        quoted.append(quotedArgument(argument));
    return quoted.join(QLatin1Char(' '));
}

} // namespace

void setElevationVerb(const QString& verb)
{
    elevationVerb() = verb;
}

Elevation WatchedProcess::startElevated(const QString& program, const QStringList& arguments,
                                        QString& reason)
{
    release();
    m_end = End();
    const std::wstring verb = elevationVerb().toStdWString();
    const std::wstring file = QDir::toNativeSeparators(program).toStdWString();
    const std::wstring parameters = parameterLine(arguments).toStdWString();
    const std::wstring folder =
        QDir::toNativeSeparators(QFileInfo(program).absolutePath()).toStdWString();
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    info.lpVerb = verb.c_str();
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = folder.c_str();
    info.nShow = SW_HIDE;
    // "cancel" plays the prompt's refusal exactly as ShellExecuteEx reports it.
    const bool played = elevationVerb() == QLatin1String("cancel");
    if (played)
        SetLastError(ERROR_CANCELLED);
    const bool started = !played && ShellExecuteExW(&info);
    if (started && info.hProcess) {
        m_handle = reinterpret_cast<qintptr>(info.hProcess);
        return Elevation::Started;
    }
    const DWORD error = started ? ERROR_INVALID_HANDLE : GetLastError();
    reason = program + QStringLiteral(": ") + qt_error_string(int(error));
    return error == ERROR_CANCELLED ? Elevation::Refused : Elevation::Failed;
}

bool endedAsRefusal(const WatchedProcess::End&)
{
    return false;
}

} // namespace platform
