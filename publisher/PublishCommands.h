#pragma once

#include <QString>

class PublishOptions;
class SignedRelease;

// Runs the command of a parsed command line. What it made or checked goes to
// standard output, the reason it failed to standard error.
class PublishCommands
{
public:
    explicit PublishCommands(const PublishOptions& options);

    // The exit status: 0 done, 1 a check or a file operation failed.
    int run() const;

private:
    bool keygen(QString& errorText) const;
    bool makeRoot(QString& errorText) const;
    bool package(QString& errorText) const;
    bool makeRelease(QString& errorText) const;
    bool verify(QString& errorText) const;
    bool addDeltas(SignedRelease& release, QString& errorText) const;
    bool delta(QString& errorText) const;
    bool writeDelta(const QString& versionedPackage, QString& errorText) const;

    const PublishOptions& m_options;
};
