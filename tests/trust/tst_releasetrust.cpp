// The checks a signed release passes before the updater offers it, against
// real files in an installation's trust folder: every row that must fail
// names the check that stops it, and envelopes of an independent signer
// verify like our own.
#include "trust/ReleaseTrust.h"
#include "trust/Sha256.h"
#include "trust/SignedEnvelope.h"
#include "trust/SignedRelease.h"
#include "trust/SigningKey.h"
#include "trust/TrustRoot.h"
#include "trust/TrustState.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QDateTime kNow = QDateTime::fromString("2026-12-08T12:00:00Z", Qt::ISODate);

SigningKey newKey()
{
    SigningKey key;
    SigningKey::generate(key);
    return key;
}

SignedEnvelope signedDocument(const QString& type, const QByteArray& body,
                              const QVector<SigningKey>& keys)
{
    SignedEnvelope envelope;
    envelope.payloadType = type;
    envelope.payload = body;
    for (const SigningKey& key : keys)
        envelope.sign(key);
    return envelope;
}

TrustRoot rootDocument(qint64 version, const SigningKey& rootKey, const SigningKey& releaseKey)
{
    TrustRoot root;
    root.version = version;
    root.expires = kNow.addDays(30);
    root.rootKeys = {rootKey.publicKey()};
    root.releaseKeys = {releaseKey.publicKey()};
    return root;
}

SignedRelease releaseDocument()
{
    SignedRelease release;
    release.softwareRoot = "App";
    release.versionType = "general";
    release.version = "2.0.0";
    release.serial = 5;
    release.expires = kNow.addDays(7);
    release.packageName = "app.zip";
    release.packageLength = 3;
    release.packageSha256 = Sha256::hexOf("zip");
    return release;
}

} // namespace

class TestReleaseTrust : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_folder;
    SigningKey m_rootKey = newKey();
    SigningKey m_releaseKey = newKey();

    void pin(const SignedEnvelope& root)
    {
        QString errorText;
        QVERIFY2(root.writeFile(m_folder->filePath("root.json"), errorText), qPrintable(errorText));
    }

private slots:
    void init()
    {
        m_folder = std::make_unique<QTemporaryDir>();
        QVERIFY(m_folder->isValid());
    }

    void verify_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<int>("check");
        const QVector<QPair<const char*, TrustVerdict::Check>> rows = {
            {"none", TrustVerdict::Passed},
            {"rotation to root 2, release by its release key", TrustVerdict::Passed},
            {"roots the installation has already", TrustVerdict::Passed},
            {"the same release seen again", TrustVerdict::Passed},
            {"release by an unknown key", TrustVerdict::ReleaseSignature},
            {"release by a root key", TrustVerdict::ReleaseSignature},
            {"body edited after signing", TrustVerdict::ReleaseSignature},
            {"expired release", TrustVerdict::ReleaseExpiry},
            {"expired root", TrustVerdict::RootExpiry},
            {"lower serial replayed", TrustVerdict::ReleaseSerial},
            {"same serial, other body", TrustVerdict::ReleaseSerial},
            {"other software root", TrustVerdict::ReleaseTarget},
            {"other version type", TrustVerdict::ReleaseTarget},
            {"other version than offered", TrustVerdict::ReleaseTarget},
            {"version equal to the installed one", TrustVerdict::NewerVersion},
            {"version lower than the installed one", TrustVerdict::NewerVersion},
            {"root 2 signed only by its own key", TrustVerdict::RootRotation},
            {"root 2 signed only by root 1's key", TrustVerdict::RootRotation},
            {"root 3 right after root 1", TrustVerdict::RootRotation},
            {"roots out of order, root 3 first", TrustVerdict::RootRotation},
            {"with a delta from the installed version", TrustVerdict::Passed},
            {"a delta named with a folder", TrustVerdict::ReleaseFormat},
            {"no release in the answer", TrustVerdict::ReleaseFormat},
            {"a root given as the release", TrustVerdict::ReleaseFormat},
            {"pinned root not signed by its own keys", TrustVerdict::TrustedRoot},
            {"unreadable record of seen releases", TrustVerdict::TrustState},
        };
        for (const auto& row : rows)
            QTest::newRow(row.first) << row.first << int(row.second);
    }

    void verify()
    {
        QFETCH(QString, change);
        QFETCH(int, check);

        TrustRoot root1 = rootDocument(1, m_rootKey, m_releaseKey);
        if (change == "expired root")
            root1.expires = kNow.addSecs(-1);
        const SigningKey stranger = newKey();
        const SignedEnvelope pinned =
            signedDocument(TrustRoot::kPayloadType, root1.toBody(),
                           {change.startsWith("pinned root") ? stranger : m_rootKey});
        pin(pinned);

        ReleaseTrust::Offer offer{"App", "general", "1.0.0", "2.0.0", {}, {}};
        const SigningKey rootKey2 = newKey();
        const SigningKey releaseKey2 = newKey();
        const TrustRoot root2 =
            rootDocument(change.startsWith("root 3") ? 3 : 2, rootKey2, releaseKey2);
        QVector<SigningKey> root2Signers{m_rootKey, rootKey2};
        if (change.startsWith("root 2 signed only by its"))
            root2Signers = {rootKey2};
        if (change.startsWith("root 2 signed only by root 1"))
            root2Signers = {m_rootKey};
        if (change.startsWith("rotation") || change.contains(QRegularExpression("root [23]")))
            offer.roots.append(
                signedDocument(TrustRoot::kPayloadType, root2.toBody(), root2Signers).toJson());
        if (change == "roots the installation has already")
            offer.roots.append(pinned.toJson());
        if (change == "roots out of order, root 3 first")
            offer.roots.prepend(signedDocument(TrustRoot::kPayloadType,
                                               rootDocument(3, newKey(), newKey()).toBody(),
                                               {rootKey2})
                                    .toJson());

        SignedRelease release = releaseDocument();
        SigningKey releaseSigner = change.startsWith("rotation") ? releaseKey2 : m_releaseKey;
        if (change == "release by an unknown key")
            releaseSigner = stranger;
        if (change == "release by a root key")
            releaseSigner = m_rootKey;
        if (change == "expired release")
            release.expires = kNow;
        if (change == "lower serial replayed")
            release.serial = 4;
        if (change == "other software root")
            release.softwareRoot = "Other";
        if (change == "other version type")
            release.versionType = "beta";
        if (change == "other version than offered")
            offer.offeredVersion = "2.0.1";
        if (change.contains("delta"))
            release.deltas.append(
                {"1.0.0",
                 change.contains("folder") ? "../app-from-1.0.0.zip" : "app-from-1.0.0.zip", 3,
                 Sha256::hexOf("zip")});
        if (change == "version equal to the installed one")
            offer.installedVersion = "2.0";
        if (change == "version lower than the installed one")
            offer.installedVersion = "2.0.10";
        SignedEnvelope envelope =
            signedDocument(change.startsWith("a root given") ? TrustRoot::kPayloadType
                                                             : SignedRelease::kPayloadType,
                           release.toBody(), {releaseSigner});
        if (change == "body edited after signing")
            envelope.payload.replace("\"mandatory\":false", "\"mandatory\":true");
        if (change != "no release in the answer")
            offer.release = envelope.toJson();

        TrustState state;
        if (change.contains("serial") || change.contains("seen again"))
            state.record("App", "general",
                         {5, change.contains("other body") ? Sha256::hexOf("another body")
                                                           : Sha256::hexOf(envelope.payload)});
        QString errorText;
        QVERIFY(state.save(m_folder->filePath("state.json"), errorText));
        if (change.startsWith("unreadable"))
            QVERIFY(QFile(m_folder->filePath("state.json")).resize(3));

        SignedRelease verified;
        const TrustVerdict verdict = ReleaseTrust(m_folder->path()).verify(offer, kNow, verified);
        QVERIFY2(verdict.check() == check, qPrintable(verdict.text()));
        if (change.startsWith("with a delta"))
            QCOMPARE(verified.deltaFrom("1.0.0")->name, QString("app-from-1.0.0.zip"));
        // The log names the root that failed, also when roots come out of order.
        if (change == "roots out of order, root 3 first")
            QCOMPARE(verdict.text(), "root rotation: root 3 is not signed by a root key of root 1");
        if (!verdict.passed())
            return;
        QCOMPARE(verified.version, QString("2.0.0"));
        QCOMPARE(verified.packageSha256, Sha256::hexOf("zip"));
        TrustState recorded;
        QVERIFY(TrustState::load(m_folder->filePath("state.json"), recorded, errorText));
        QCOMPARE(recorded.seen("App", "general").serial, qint64(5));
        SignedEnvelope newest;
        TrustRoot stored;
        QVERIFY(SignedEnvelope::readFile(m_folder->filePath("root.json"), newest, errorText));
        QVERIFY(TrustRoot::fromEnvelope(newest, stored, errorText));
        QCOMPARE(stored.version, change.startsWith("rotation") ? qint64(2) : qint64(1));
    }

    void verifiesEnvelopesOfAnotherSigner()
    {
        QCOMPARE(QProcess::execute("/usr/bin/python3", {DSSE_SIGNER_PY, m_folder->path()}), 0);
        SignedEnvelope release;
        QString errorText;
        QVERIFY(SignedEnvelope::readFile(m_folder->filePath("release.json"), release, errorText));
        ReleaseTrust::Offer offer{"PyApp", "general", "1.0.0", "2.0.0", release.toJson(), {}};
        SignedRelease verified;
        const TrustVerdict verdict =
            ReleaseTrust(m_folder->path()).verify(offer, QDateTime::currentDateTimeUtc(), verified);
        QVERIFY2(verdict.passed(), qPrintable(verdict.text()));
        QVERIFY(verified.mandatory);
        QCOMPARE(verified.packageSha256, Sha256::hexOf("package bytes"));
    }
};

QTEST_GUILESS_MAIN(TestReleaseTrust)
#include "tst_releasetrust.moc"
