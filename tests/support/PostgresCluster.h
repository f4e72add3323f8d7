#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A throwaway PostgreSQL server for one test run: a cluster made with initdb
// in a temporary folder, listening on a free port of 127.0.0.1 only, every
// local user trusted. Stopped and removed with this object. initdb refuses
// to run as root, so there the server runs as the user "postgres".
class PostgresCluster
{
public:
    PostgresCluster() = default;
    ~PostgresCluster();
    PostgresCluster(const PostgresCluster&) = delete;
    PostgresCluster& operator=(const PostgresCluster&) = delete;

    // The newest server's bin folder, empty when none is installed.
    static QString serverBinaries();

    bool start(QString& errorText);
    // A new, empty database; its URL as cloudservice takes it.
    bool createDatabase(const QString& name, QString& url, QString& errorText);

private:
    bool run(const QString& tool, const QStringList& arguments, QString& errorText);

    QString m_binaries;
    QTemporaryDir m_folder;
    int m_port = 0;
    bool m_running = false;
};
