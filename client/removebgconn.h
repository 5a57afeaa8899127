#pragma once

#include <QObject>
#include <QString>
#include <QUrl>
#include <QVector>

class QNetworkAccessManager;
class QNetworkReply;

// Works a queue of (image path, API key) tasks against the cloud background-removal
// service, one upload at a time, and reports everything as text.
class RemoveBGConn : public QObject
{
    Q_OBJECT

public:
    RemoveBGConn();
    explicit RemoveBGConn(const QUrl &endpoint);
    // For tests: an upload with no byte moving for this long is given up (normally 120 s).
    RemoveBGConn(const QUrl &endpoint, int stallTimeoutMs);
    ~RemoveBGConn() override;

signals:
    void receivedData(QByteArray d, QString filePath);
    void connectError(QString e);
    void connectInfo(QString info);

public slots:
    void postData(QString filepath, QString token, bool start);
    bool postDataReal();
    void solveReply();
    void clearData();

private:
    QNetworkAccessManager *networkManager;
    QNetworkReply *currentReply = nullptr;
    QVector<QString> filePaths;
    QVector<QString> tokens;
    int cursor = 0;
    QUrl endpoint;
    int stallTimeoutMs;
};
