#pragma once

#include <QString>

// The command line of the service.
class ServiceOptions
{
public:
    QString host = "127.0.0.1";
    int port = 0; // 0: a free port, printed when ready
    QString certificateFile;
    QString keyFile;
    QString catalogFile;
    QString packagesFolder;
    QString databaseUrl;  // empty: SQLite beside the catalog
    bool metrics = false; // serve GET /metrics
    // Connections served at once; a kept-alive connection holds its thread.
    int threads = 128;
    // Test and demo aids.
    long long throttleKbps = 0;      // 0: no limit on package transfers
    long long failPackageAfter = -1; // -1: never drop a package transfer
    int delayMs = 0;                 // delay of every version-check answer

    bool help = false;

    bool parse(int argc, char** argv, QString& errorText);
    bool useTls() const { return !certificateFile.isEmpty(); }
    static QString helpText();
};
