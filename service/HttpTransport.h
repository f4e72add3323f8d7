#pragma once

// One HTTP exchange of the service client, synchronous for its caller: each
// operation builds a private network manager, sends, waits in a nested event
// loop for the answer, an error or the time-out, and tears everything down
// before it returns.

#include <QByteArray>
#include <QList>
#include <QNetworkReply>
#include <QPair>

#include <functional>

class QNetworkRequest;

using RawHeaderPairs = QList<QPair<QByteArray, QByteArray>>;
using SuccessCallback = std::function<void(const RawHeaderPairs& headers, const QByteArray& body)>;
using ErrorCallback = std::function<void(const RawHeaderPairs& headers,
                                         QNetworkReply::NetworkError code, const QByteArray& body)>;
using TimeoutCallback = std::function<void()>;

struct HttpResult
{
    // 0 when the reply finished cleanly, else a QNetworkReply::NetworkError
    // value; a time-out of our own is reported as QNetworkReply::TimeoutError.
    int code = 0;
    QByteArray body;
};

// Largest answer accepted. A service answer is a small JSON document; a
// server that keeps sending is broken or hostile, and the whole answer is
// held in memory.
constexpr qint64 kMaxReplyBytes = 16 * 1024 * 1024;

HttpResult httpGet(const QNetworkRequest& request, int timeoutMs);
HttpResult httpPost(const QNetworkRequest& request, const QByteArray& body, bool excludeUserInput,
                    int timeoutMs);
// Sends without waiting: `done` gets the outcome from the event loop later,
// exactly once, unless the process ends first.
void httpPostInBackground(const QNetworkRequest& request, const QByteArray& body, int timeoutMs,
                          std::function<void(const HttpResult&)> done);
HttpResult httpPut(const QNetworkRequest& request, const QByteArray& body, int timeoutMs);
HttpResult httpDelete(const QNetworkRequest& request, int timeoutMs);

// Wires `reply` to the three outcomes; the first one to happen wins and the
// others are ignored. A `timeoutMs` of 0 waits without limit. The caller runs
// its event loop afterwards.
void awaitReply(QNetworkReply* reply, int timeoutMs, SuccessCallback onSuccess,
                ErrorCallback onError, TimeoutCallback onTimeout);
