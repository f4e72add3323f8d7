#include "cloudservice/CloudServer.h"
#include "cloudservice/ReleaseCommand.h"
#include "cloudservice/ServiceOptions.h"
#include "cloudservice/StderrLog.h"

#include <QCoreApplication>
#include <QStringList>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <thread>

namespace {

// Long enough for a version check or a package chunk under way, short enough
// for whoever stops us.
constexpr auto stopGrace = std::chrono::seconds(5);

// TERM and INT stop the service gracefully: no new connections, the requests
// under way are answered, and a proxy in front sends the next ones to another
// instance. Connections kept alive but idle do not hold the end up for long.
// Must run before any other thread exists, so that all of them leave the two
// signals to the one thread that waits for them.
void stopOnSignal(CloudServer& server)
{
#ifdef _WIN32
    // Windows has neither signal masks nor sigwait; Ctrl+C or a kill ends
    // the service at once there.
    (void)server;
#else
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::thread([stopSignals, &server] {
        int received = 0;
        sigwait(&stopSignals, &received);
        server.stop();
        std::this_thread::sleep_for(stopGrace);
        StderrLog::flush();
        std::_Exit(0);
    }).detach();
#endif
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && QByteArray(argv[1]) == "release") {
        // Qt loads the SQL drivers only with an application object.
        QCoreApplication application(argc, argv);
        return ReleaseCommand::run(application.arguments().mid(2));
    }
#ifdef SIGPIPE
    // A client that goes away mid-transfer must not end the service.
    std::signal(SIGPIPE, SIG_IGN);
#endif
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
    stopOnSignal(server);
    // After the signal mask is set, so that every thread inherits it.
    QCoreApplication application(argc, argv);
    StderrLog::install();
    if (!server.start(errorText)) {
        std::fprintf(stderr, "cloudservice: %s\n", errorText.toLocal8Bit().constData());
        return 1;
    }
    std::printf("cloudservice listening on %s\n", server.baseUrl().toLocal8Bit().constData());
    std::fflush(stdout);
    return server.run() ? 0 : 1;
}
