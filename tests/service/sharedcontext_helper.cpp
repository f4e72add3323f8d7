// A second process for the shared-context tests.
//   publish <url> <token> <lang>         publishes a context through BaseService
//   write-map-without-token <url> <lang> writes a record that lacks "token"
//   write-string <text>                  writes a record that is not a map
//   set <publish 0|1> <url> <token> <lang>
//                                        reads the segment, then sets a context
//   read                                 only reads the segment
// The writing modes print "ready" and hold the segment until stdin closes.
// The modes that read end with a quiet GET of "/probe", so the context taken
// can be seen in the request log line and in the headers the test receives.

#include "service/BaseService.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QSharedMemory>
#include <QVariant>
#include <QVariantMap>

#include <cstdio>
#include <iostream>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

const QString kKey = QStringLiteral("DEDE_ZUVI_ZEDORAV");

// Plain UTF-8 lines on stderr, whatever the locale, so that the test can
// look for the Chinese log line.
void writeToStderr(QtMsgType, const QMessageLogContext&, const QString& message)
{
    const QByteArray line = message.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

void probe()
{
    QJsonObject response;
    QString errorText;
    BaseService::instance()->sendRequest(BaseService::Get, QStringLiteral("/probe"), QByteArray(),
                                         response, errorText, true);
}

void holdUntilStdinCloses()
{
    std::printf("ready\n");
    std::fflush(stdout);
    while (std::cin.get() != EOF) {
    }
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
#ifdef _WIN32
    // "ready\n" as the test reads it, not the "\r\n" of a text-mode stdout.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    qInstallMessageHandler(writeToStderr);
    const QStringList args = application.arguments().mid(1);
    const QString mode = args.value(0);

    if (mode == QLatin1String("publish") && args.size() == 4) {
        BaseService::instance()->setServiceContext(args[1], args[2], args[3], true);
        holdUntilStdinCloses();
        return 0;
    }
    if (mode == QLatin1String("write-map-without-token") && args.size() == 3) {
        QSharedMemory memory(kKey);
        QVariantMap map;
        map.insert(QStringLiteral("serviceUrl"), args[1]);
        map.insert(QStringLiteral("langType"), args[2]);
        if (!writeSharedContext(memory, QVariant(map)))
            return 2;
        holdUntilStdinCloses();
        return 0;
    }
    if (mode == QLatin1String("write-string") && args.size() == 2) {
        QSharedMemory memory(kKey);
        if (!writeSharedContext(memory, QVariant(args[1])))
            return 2;
        holdUntilStdinCloses();
        return 0;
    }
    if (mode == QLatin1String("set") && args.size() == 5) {
        BaseService::instance()->setServiceContext(args[2], args[3], args[4],
                                                   args[1] == QLatin1String("1"));
        probe();
        return 0;
    }
    if (mode == QLatin1String("read") && args.size() == 1) {
        probe();
        return 0;
    }
    return 1;
}
