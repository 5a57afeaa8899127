#pragma once

#include <QObject>
#include <QString>

// The API key in the system keyring (the Secret Service or KWallet), kept there only when
// the user asks. Nothing of it is ever written to a file of the program's own.
class KeyStore : public QObject
{
    Q_OBJECT

public:
    explicit KeyStore(QObject *parent = nullptr);

    // Each answers once through its signal; a keyring that is missing or locked is an error.
    void read();
    void keep(const QString &key);
    void forget();

    // The kept key, waiting at most `timeoutMs` for the keyring; empty when there is none.
    static QString readNow(int timeoutMs = 5000);

signals:
    void keyRead(QString key); // empty: none kept, or no keyring
    void kept(bool done, QString error);
    void forgotten(bool done, QString error);
};
