// The hand-over of the service context between processes through the shared
// segment, with a helper process on either side.

#include "RawRequestCatcher.h"

#include "platform/Platform.h"
#include "service/BaseService.h"

#include <QBuffer>
#include <QDataStream>
#include <QProcess>
#include <QSharedMemory>
#include <QVariantMap>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

const QString kKey = QStringLiteral("DEDE_ZUVI_ZEDORAV");
const QString kFailureLine = QStringLiteral("BaseService 共享内存写入失败");
const QString kNoAddressProbe = QStringLiteral("Url: [http:///cloudService/probe]");

QVariantMap contextMap(const QString& serviceUrl, const QString& token, const QString& langType)
{
    QVariantMap map;
    map.insert(QStringLiteral("serviceUrl"), serviceUrl);
    map.insert(QStringLiteral("token"), token);
    map.insert(QStringLiteral("langType"), langType);
    return map;
}

QByteArray serialized(const QVariant& record)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << record;
    return bytes;
}

} // namespace

class SharedContextTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void noSegmentLeavesContextEmpty();
    void publishedContextReachesSecondProcess();
    void recordWithoutTokenGivesEmptyToken();
    void recordThatIsNotAMapGivesEmptyContext();
    void settingContextWhileAnotherProcessHolds_data();
    void settingContextWhileAnotherProcessHolds();
    void contextOfEndedProcessIsNotTaken();

private:
    bool startHolder(const QStringList& arguments);
    void stopHolders();
    // Runs the helper to its end; its log lines (stderr), or "" on failure.
    QString runHelper(const QStringList& arguments);
    QString address() const;
    QVariant segmentRecord(int* size);

    // Served by this thread's event loop while a helper runs; it sees an
    // empty header as sent, where a parsing server may drop it.
    RawRequestCatcher m_server;
    std::vector<std::unique_ptr<QProcess>> m_holders;
};

void SharedContextTest::initTestCase()
{
    QVERIFY(m_server.listen());
}

QString SharedContextTest::address() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_server.port());
}

void SharedContextTest::init()
{
    platform::releaseStaleSharedMemory(kKey);
}

void SharedContextTest::cleanup()
{
    stopHolders();
    platform::releaseStaleSharedMemory(kKey);
}

bool SharedContextTest::startHolder(const QStringList& arguments)
{
    auto holder = std::make_unique<QProcess>();
    holder->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QSignalSpy output(holder.get(), &QProcess::readyReadStandardOutput);
    holder->start(QStringLiteral(SHAREDCONTEXT_HELPER), arguments);
    QByteArray printed;
    while (!printed.contains("ready\n") && output.wait(30000))
        printed += holder->readAllStandardOutput();
    const bool ready = printed.contains("ready\n");
    m_holders.push_back(std::move(holder));
    return ready;
}

void SharedContextTest::stopHolders()
{
    for (const auto& holder : m_holders) {
        holder->closeWriteChannel();
        if (!holder->waitForFinished(10000)) {
            holder->kill();
            holder->waitForFinished(10000);
        }
    }
    m_holders.clear();
}

QString SharedContextTest::runHelper(const QStringList& arguments)
{
    QProcess helper;
    QSignalSpy finished(&helper, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    helper.start(QStringLiteral(SHAREDCONTEXT_HELPER), arguments);
    if (!finished.wait(30000) || helper.exitCode() != 0) {
        helper.kill();
        helper.waitForFinished(10000);
        return QString();
    }
    return QString::fromUtf8(helper.readAllStandardError());
}

QVariant SharedContextTest::segmentRecord(int* size)
{
    QSharedMemory memory(kKey);
    QVariant record;
    if (!readSharedContext(memory, record))
        return QVariant();
    *size = memory.size();
    return record;
}

void SharedContextTest::noSegmentLeavesContextEmpty()
{
    const int before = m_server.requestCount();
    const QString log = runHelper({QStringLiteral("read")});
    QVERIFY(log.contains(kNoAddressProbe));
    QCOMPARE(m_server.requestCount(), before);
}

void SharedContextTest::publishedContextReachesSecondProcess()
{
    QVERIFY(startHolder(
        {QStringLiteral("publish"), address(), QStringLiteral("tok-1"), QStringLiteral("zh_CN")}));
    int size = 0;
    const QVariant expected =
        contextMap(address(), QStringLiteral("tok-1"), QStringLiteral("zh_CN"));
    QCOMPARE(segmentRecord(&size), expected);
#ifdef _WIN32
    // Windows reports a section's size in whole pages.
    QCOMPARE((size + 4095) / 4096, (serialized(expected).size() + 4095) / 4096);
#else
    QCOMPARE(size, serialized(expected).size());
#endif

    const int before = m_server.requestCount();
    const QString log = runHelper({QStringLiteral("read")});
    QVERIFY(log.contains(QStringLiteral("Url: [http://%1/cloudService/probe]").arg(address())));
    QCOMPARE(m_server.requestCount(), before + 1);
    QCOMPARE(m_server.requestLine(), QByteArray("GET /cloudService/probe HTTP/1.1"));
    QCOMPARE(m_server.headerValue("token"), QByteArray("tok-1"));
    QCOMPARE(m_server.headerValue("langType"), QByteArray("zh_CN"));
}

void SharedContextTest::recordWithoutTokenGivesEmptyToken()
{
    QVERIFY(startHolder(
        {QStringLiteral("write-map-without-token"), address(), QStringLiteral("en_US")}));
    QVERIFY(!runHelper({QStringLiteral("read")}).isEmpty());
    QCOMPARE(m_server.requestLine(), QByteArray("GET /cloudService/probe HTTP/1.1"));
    QVERIFY(m_server.hasHeader("token"));
    QCOMPARE(m_server.headerValue("token"), QByteArray());
    QCOMPARE(m_server.headerValue("langType"), QByteArray("en_US"));
}

void SharedContextTest::recordThatIsNotAMapGivesEmptyContext()
{
    QVERIFY(startHolder({QStringLiteral("write-string"), address()}));
    const int before = m_server.requestCount();
    const QString log = runHelper({QStringLiteral("read")});
    QVERIFY(log.contains(kNoAddressProbe));
    QCOMPARE(m_server.requestCount(), before);
}

void SharedContextTest::settingContextWhileAnotherProcessHolds_data()
{
    QTest::addColumn<bool>("publish");
    QTest::newRow("publishing") << true;
    QTest::newRow("not publishing") << false;
}

void SharedContextTest::settingContextWhileAnotherProcessHolds()
{
    QFETCH(bool, publish);
    QVERIFY(startHolder(
        {QStringLiteral("publish"), address(), QStringLiteral("tok-1"), QStringLiteral("zh_CN")}));

    const QString log =
        runHelper({QStringLiteral("set"), publish ? QStringLiteral("1") : QStringLiteral("0"),
                   address(), QStringLiteral("tok-2"), QStringLiteral("en_US")});
    QVERIFY(!log.isEmpty());
    QCOMPARE(log.contains(kFailureLine), publish);
    // The new context is used either way.
    QCOMPARE(m_server.headerValue("token"), QByteArray("tok-2"));
    QCOMPARE(m_server.headerValue("langType"), QByteArray("en_US"));
    // The holder's record is untouched.
    int size = 0;
    QCOMPARE(segmentRecord(&size),
             QVariant(contextMap(address(), QStringLiteral("tok-1"), QStringLiteral("zh_CN"))));
}

void SharedContextTest::contextOfEndedProcessIsNotTaken()
{
    // A process that publishes and ends keeps its segment attached to the
    // end; on systems where the segment outlives it, the leftover must
    // neither be read as a live context nor block the next publication.
    QVERIFY(startHolder(
        {QStringLiteral("publish"), address(), QStringLiteral("tok-1"), QStringLiteral("zh_CN")}));
    stopHolders();
    QVERIFY(runHelper({QStringLiteral("read")}).contains(kNoAddressProbe));

    QVERIFY(startHolder(
        {QStringLiteral("publish"), address(), QStringLiteral("tok-3"), QStringLiteral("en_US")}));
    int size = 0;
    QCOMPARE(segmentRecord(&size),
             QVariant(contextMap(address(), QStringLiteral("tok-3"), QStringLiteral("en_US"))));
}

QTEST_GUILESS_MAIN(SharedContextTest)
#include "tst_sharedcontext.moc"
