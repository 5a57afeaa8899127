#include "keystore.h"

#include <QEventLoop>
#include <QTimer>

#include <qt5keychain/keychain.h>

namespace {

const QString service = QStringLiteral("quorrin");
const QString entry = QStringLiteral("api-key");

// No parent: the keyring's library answers a job even after the window that asked is gone,
// so each job lives until it has finished, then deletes itself.
template<typename Job>
Job *makeJob()
{
    auto *job = new Job(service);
    job->setKey(entry);
    // Never a plain file when the keyring is missing.
    job->setInsecureFallback(false);
    job->setAutoDelete(true);
    return job;
}

} // namespace

KeyStore::KeyStore(QObject *parent)
    : QObject(parent)
{
}

void KeyStore::read()
{
    auto *job = makeJob<QKeychain::ReadPasswordJob>();
    connect(job, &QKeychain::Job::finished, this, [this, job] {
        emit keyRead(job->error() == QKeychain::NoError ? job->textData() : QString());
    });
    job->start();
}

void KeyStore::keep(const QString &key)
{
    auto *job = makeJob<QKeychain::WritePasswordJob>();
    job->setTextData(key);
    connect(job, &QKeychain::Job::finished, this,
            [this, job] { emit kept(job->error() == QKeychain::NoError, job->errorString()); });
    job->start();
}

void KeyStore::forget()
{
    auto *job = makeJob<QKeychain::DeletePasswordJob>();
    connect(job, &QKeychain::Job::finished, this, [this, job] {
        // Nothing kept is as good as forgotten.
        emit forgotten(job->error() == QKeychain::NoError || job->error() == QKeychain::EntryNotFound, job->errorString());
    });
    job->start();
}

QString KeyStore::readNow(int timeoutMs)
{
    KeyStore store;
    QString key;
    QEventLoop loop;
    connect(&store, &KeyStore::keyRead, &loop, [&](const QString &read) {
        key = read;
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    store.read();
    loop.exec();
    return key;
}
