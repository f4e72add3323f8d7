#include "cloudservice/CloudServer.h"
#include "cloudservice/ServiceOptions.h"

#include <QtDebug>
#include <csignal>
#include <cstdio>

int main(int argc, char** argv)
{
#ifdef SIGPIPE
    // A client that goes away mid-transfer must not end the service.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    qSetMessagePattern("%{time yyyy-MM-dd hh:mm:ss.zzz} %{message}");
    ServiceOptions options;
    QString errorText;
    if (!options.parse(argc, argv, errorText)) {
        std::fprintf(stderr, "cloudservice: %s\n", errorText.toLocal8Bit().constData());
        return 2;
    }
    if (options.help) {
        std::fputs(ServiceOptions::helpText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    CloudServer server(options);
    if (!server.start(errorText)) {
        std::fprintf(stderr, "cloudservice: %s\n", errorText.toLocal8Bit().constData());
        return 1;
    }
    std::printf("cloudservice listening on %s\n", server.baseUrl().toLocal8Bit().constData());
    std::fflush(stdout);
    return server.run() ? 0 : 1;
}
