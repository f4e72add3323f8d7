#include "service/HttpTransport.h"

#include "network/ProxySettings.h"
#include "service/TrustedSsl.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QPointer>
#include <QSslError>
#include <QTimer>

#include <memory>

namespace {

// Bounds what Qt buffers ahead of us; without it a fast server can push
// hundreds of megabytes into the reply before the first readyRead.
constexpr qint64 kReadBufferBytes = 1024 * 1024;

struct ReplyState
{
    bool handled = false;
    QPointer<QTimer> timer;
    QByteArray body;
};

void retireTimer(ReplyState& state)
{
    if (state.timer)
        state.timer->deleteLater();
}

// Moves what has arrived into `state`; false when the answer outgrew the cap.
bool collectArrived(ReplyState& state, QNetworkReply* reply)
{
    const QByteArray chunk = reply->readAll();
    if (state.body.size() + chunk.size() > kMaxReplyBytes)
        return false;
    state.body += chunk;
    return true;
}

void failOversizedReply(ReplyState& state, QNetworkReply* reply, const ErrorCallback& onError)
{
    state.handled = true;
    retireTimer(state);
    state.body.clear();
    qInfo() << QString("Url: [%1] Response larger than %2 bytes, request aborted")
                   .arg(reply->url().toString())
                   .arg(kMaxReplyBytes);
    onError(reply->rawHeaderPairs(), QNetworkReply::OperationCanceledError, QByteArray());
    reply->abort();
}

// The first of finished() and errorOccurred() decides the outcome. True when
// this call is that first one and the whole answer fits; the oversized case
// is reported here.
bool claimOutcome(ReplyState& state, QNetworkReply* reply, const ErrorCallback& onError)
{
    if (state.handled)
        return false;
    if (!collectArrived(state, reply)) {
        failOversizedReply(state, reply, onError);
        return false;
    }
    state.handled = true;
    retireTimer(state);
    return true;
}

// A manager for one request, with the proxy and certificates of the
// installation.
QNetworkRequest prepared(QNetworkAccessManager& manager, const QNetworkRequest& request)
{
    ProxySettings::read().applyTo(manager, request.url());
    QNetworkRequest verified(request);
    // Loading the system's certificate store costs more than a whole request
    // on loopback, and a plain answer is never redirected to TLS here.
    if (request.url().scheme() == QLatin1String("https"))
        verified.setSslConfiguration(trustedSslConfiguration());
    return verified;
}

template <typename Start>
HttpResult exchange(const QNetworkRequest& request, int timeoutMs,
                    QEventLoop::ProcessEventsFlags flags, Start start)
{
    HttpResult result;
    QEventLoop loop;
    // An application shutdown ends the wait: the result stays code 0, no body.
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &loop,
                     &QEventLoop::quit);

    // Declared after the loop so that the manager, and with it the reply,
    // goes first; no reply signal can reach a destroyed loop.
    QNetworkAccessManager manager;
    QNetworkReply* reply = start(manager, prepared(manager, request));

    awaitReply(
        reply, timeoutMs,
        [&](const RawHeaderPairs&, const QByteArray& body) {
            result.code = 0;
            result.body = body;
            loop.exit(1);
        },
        [&](const RawHeaderPairs&, QNetworkReply::NetworkError code, const QByteArray& body) {
            result.code = code;
            result.body = body;
            loop.exit(0);
        },
        [&]() {
            result.code = QNetworkReply::TimeoutError;
            loop.exit(0);
        });
    loop.exec(flags);
    return result;
}

} // namespace

HttpResult httpGet(const QNetworkRequest& request, int timeoutMs)
{
    return exchange(request, timeoutMs, QEventLoop::AllEvents,
                    [](QNetworkAccessManager& manager, const QNetworkRequest& verified) {
                        return manager.get(verified);
                    });
}

HttpResult httpPost(const QNetworkRequest& request, const QByteArray& body, bool excludeUserInput,
                    int timeoutMs)
{
    const QEventLoop::ProcessEventsFlags flags =
        excludeUserInput ? QEventLoop::ExcludeUserInputEvents : QEventLoop::AllEvents;
    return exchange(request, timeoutMs, flags,
                    [&body](QNetworkAccessManager& manager, const QNetworkRequest& verified) {
                        return manager.post(verified, body);
                    });
}

HttpResult httpPut(const QNetworkRequest& request, const QByteArray& body, int timeoutMs)
{
    return exchange(request, timeoutMs, QEventLoop::AllEvents,
                    [&body](QNetworkAccessManager& manager, const QNetworkRequest& verified) {
                        return manager.put(verified, body);
                    });
}

void httpPostInBackground(const QNetworkRequest& request, const QByteArray& body, int timeoutMs,
                          std::function<void(const HttpResult&)> done)
{
    auto* manager = new QNetworkAccessManager(QCoreApplication::instance());
    QNetworkReply* reply = manager->post(prepared(*manager, request), body);
    auto finish = [manager, done](int code, const QByteArray& answer) {
        manager->deleteLater();
        done(HttpResult{code, answer});
    };
    awaitReply(
        reply, timeoutMs,
        [finish](const RawHeaderPairs&, const QByteArray& answer) { finish(0, answer); },
        [finish](const RawHeaderPairs&, QNetworkReply::NetworkError code,
                 const QByteArray& answer) { finish(code, answer); },
        [finish]() { finish(QNetworkReply::TimeoutError, QByteArray()); });
}

HttpResult httpDelete(const QNetworkRequest& request, int timeoutMs)
{
    return exchange(request, timeoutMs, QEventLoop::AllEvents,
                    [](QNetworkAccessManager& manager, const QNetworkRequest& verified) {
                        return manager.deleteResource(verified);
                    });
}

void awaitReply(QNetworkReply* reply, int timeoutMs, SuccessCallback onSuccess,
                ErrorCallback onError, TimeoutCallback onTimeout)
{
    auto state = std::make_shared<ReplyState>();
    // Qt passes the limit to its network thread only once the request has
    // started there, and a request with a body starts from the event loop:
    // a limit set now would be lost for it, so it is set again once the loop
    // has started the request, before any answer can have arrived.
    reply->setReadBufferSize(kReadBufferBytes);
    QMetaObject::invokeMethod(
        reply, [reply]() { reply->setReadBufferSize(kReadBufferBytes); }, Qt::QueuedConnection);

    if (timeoutMs != 0) {
        // Owned by the reply: should the wait end some other way (shutdown),
        // the timer dies with the reply instead of firing into a finished call.
        state->timer = new QTimer(reply);
        state->timer->setSingleShot(true);
        QObject::connect(state->timer, &QTimer::timeout, reply, [state, onTimeout]() {
            if (state->handled)
                return;
            state->handled = true;
            onTimeout();
            retireTimer(*state);
        });
        state->timer->start(timeoutMs);
    }

    QObject::connect(reply, &QNetworkReply::readyRead, reply, [state, reply, onError]() {
        if (!state->handled && !collectArrived(*state, reply))
            failOversizedReply(*state, reply, onError);
    });

    QObject::connect(reply, &QNetworkReply::finished, reply, [state, reply, onSuccess, onError]() {
        if (claimOutcome(*state, reply, onError))
            onSuccess(reply->rawHeaderPairs(), std::move(state->body));
    });

    // Certificates are verified; a failed verification fails the reply with
    // a network error like any other. The reasons go to the log.
    QObject::connect(reply, &QNetworkReply::sslErrors, reply,
                     [reply](const QList<QSslError>& errors) {
                         qInfo() << QString("Url: [%1] SslErrors:%2")
                                        .arg(reply->url().toString(), joinSslErrors(errors));
                     });

    QObject::connect(reply, &QNetworkReply::errorOccurred, reply,
                     [state, reply, onError](QNetworkReply::NetworkError code) {
                         if (claimOutcome(*state, reply, onError))
                             onError(reply->rawHeaderPairs(), code, std::move(state->body));
                     });
}
