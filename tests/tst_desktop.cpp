// The desktop around the window, against a private D-Bus session that ctest starts with
// dbus-run-session: a notification service and a launcher listener stand in for the
// desktop's, and record what they receive.
#include "desktopnotifier.h"
#include "fakeservice.h"
#include "keystore.h"
#include "programrun.h"
#include "testimages.h"
#include "widget.h"
#include "windowlog.h"

#include <QAction>
#include <QDirIterator>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDesktopServices>
#include <QtTest>

class FakeNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QStringList received; // "summary|body|actions"

public slots:
    uint Notify(const QString &, uint, const QString &, const QString &summary, const QString &body,
                const QStringList &actions, const QVariantMap &, int)
    {
        received << summary + QLatin1Char('|') + body + QLatin1Char('|') + actions.join(QLatin1Char(','));
        return 7;
    }

signals:
    void ActionInvoked(uint id, const QString &action);
};

class Listener : public QObject
{
    Q_OBJECT

public:
    QStringList updates; // "progress count visible"
    QList<QUrl> opened;

public slots:
    void update(const QString &application, const QVariantMap &properties)
    {
        updates << QStringLiteral("%1 %2 %3 %4")
                       .arg(application)
                       .arg(properties.value(QStringLiteral("progress")).toDouble())
                       .arg(properties.value(QStringLiteral("count")).toLongLong())
                       .arg(properties.value(QStringLiteral("progress-visible")).toBool());
    }
    void open(const QUrl &url) { opened << url; }
};

class TestDesktop : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session");
    }
    void cleanup() { stopAfterAFailedRow(); }
    void endOfABatch_data();
    void endOfABatch();
    void keyKeptOnlyWhenAsked();

private:
    QTemporaryDir home;
};

void TestDesktop::endOfABatch_data()
{
    QTest::addColumn<int>("notifyAfterMs");
    QTest::addColumn<bool>("windowActive");
    QTest::addColumn<bool>("service"); // a notification service is there
    QTest::addColumn<bool>("notified");

    QTest::newRow("a long batch ends behind other windows: a notification") << 0 << false << true << true;
    QTest::newRow("the window is the active one: none") << 0 << true << true << false;
    QTest::newRow("a short batch: none") << 60000 << false << true << false;
    QTest::newRow("no notification service: none, and no error") << 0 << false << false << false;
}

void TestDesktop::endOfABatch()
{
    QFETCH(int, notifyAfterMs);
    QFETCH(bool, windowActive);
    QFETCH(bool, service);
    QFETCH(bool, notified);

    // The desktop's side has a connection of its own, as another program would.
    QDBusConnection desktop = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("desktop"));
    FakeNotifications notifications;
    Listener listener;
    QVERIFY(desktop.connect(QString(), QString(), QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"),
                            &listener, SLOT(update(QString, QVariantMap))));
    if (service) {
        QVERIFY(desktop.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &notifications,
                                       QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals));
        QVERIFY(desktop.registerService(QStringLiteral("org.freedesktop.Notifications")));
    }
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &listener, "open");

    QStringList warnings;
    static QStringList *seen;
    seen = &warnings;
    const QtMessageHandler before = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg)
            *seen << text;
    });
    {
        DesktopNotifier notifier(notifyAfterMs);
        notifier.batchStarted();
        notifier.progress(1, 4);
        notifier.progress(4, 4);
        QTest::qWait(5);
        notifier.batchEnded(3, 1, 0, windowActive, QStringLiteral("/photos-no-bg-small"));
        QTRY_COMPARE(listener.updates.size(), 3);
        QTest::qWait(200); // long enough for a notification that must not come
        QCOMPARE(notifications.received.size(), notified ? 1 : 0);
        if (notified) {
            QCOMPARE(notifications.received.first(),
                     QStringLiteral("抠图完成|保存 3 张，跳过 1 张，失败 0 张|open-folder,打开输出文件夹,review,审阅结果"));
            // Only its own notification's actions open the folder or the review.
            QSignalSpy reviews(&notifier, &DesktopNotifier::reviewAsked);
            emit notifications.ActionInvoked(8, QStringLiteral("open-folder"));
            emit notifications.ActionInvoked(8, QStringLiteral("review"));
            emit notifications.ActionInvoked(7, QStringLiteral("open-folder"));
            QTRY_COMPARE(listener.opened, QList<QUrl>{QUrl::fromLocalFile(QStringLiteral("/photos-no-bg-small"))});
            emit notifications.ActionInvoked(7, QStringLiteral("review"));
            QTRY_COMPARE(reviews.size(), 1);
            QCOMPARE(listener.opened.size(), 1);
        }
    }
    qInstallMessageHandler(before);
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    desktop.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
    desktop.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
    QDBusConnection::disconnectFromBus(QStringLiteral("desktop"));
    // The task bar: a quarter, then all, then cleared.
    const QString app = QStringLiteral("application://quorrin.desktop");
    QCOMPARE(listener.updates, QStringList({app + " 0.25 3 1", app + " 1 0 0", app + " 0 0 0"}));
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
}

namespace {

QAction *keyActionOf(Widget &window)
{
    return window.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->actions().value(0);
}

} // namespace

void TestDesktop::keyKeptOnlyWhenAsked()
{
    const QString key = QStringLiteral("key-%1").arg(QDateTime::currentMSecsSinceEpoch());
    {
        // No keyring yet: the action says so, and nothing else changes.
        Widget window(QUrl(QStringLiteral("http://127.0.0.1:1/v1.0/removebg")));
        window.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->setText(key);
        QAction *action = keyActionOf(window);
        QVERIFY(action);
        QCOMPARE(action->text(), QStringLiteral("把密钥保存在系统钥匙串里"));
        action->trigger();
        QTRY_VERIFY(lastLogLine(&window).startsWith(QStringLiteral("没有可用的系统钥匙串，密钥没有保存：")));
        QCOMPARE(action->text(), QStringLiteral("把密钥保存在系统钥匙串里"));
    }

    // A real keyring daemon in this session, its files in a home of its own.
    QVERIFY(home.isValid());
    QProcess daemon;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral(".local/share")));
    daemon.setProcessEnvironment(environment);
    daemon.start(QStringLiteral("gnome-keyring-daemon"), {"--foreground", "--unlock", "--components=secrets"});
    QVERIFY(daemon.waitForStarted());
    daemon.write("test password");
    daemon.closeWriteChannel();
    QTRY_VERIFY_WITH_TIMEOUT(QDBusConnection::sessionBus().interface()->isServiceRegistered(QStringLiteral("org.freedesktop.secrets")), 10000);

    {
        Widget window(QUrl(QStringLiteral("http://127.0.0.1:1/v1.0/removebg")));
        window.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->setText(key);
        keyActionOf(window)->trigger();
        QTRY_COMPARE(lastLogLine(&window), QStringLiteral("密钥已保存在系统钥匙串里，下次启动时自动填入"));
        QCOMPARE(keyActionOf(window)->text(), QStringLiteral("从系统钥匙串删除密钥"));
    }
    QCOMPARE(KeyStore::readNow(), key);

    // The headless batch uses it when it is given no other.
    {
        FakeService service;
        QTemporaryDir photos;
        writeImage(photos.filePath(QStringLiteral("a.jpg")), photoLike(40, 30));
        QProcessEnvironment batchEnvironment = environmentWithoutDisplay();
        batchEnvironment.remove(QStringLiteral("QUORRIN_API_KEY"));
        batchEnvironment.insert(QStringLiteral("QUORRIN_SERVICE_URL"), service.endpoint().toString());
        const ProgramRun batch = runProgram(QStringLiteral(QUORRIN_PROGRAM), {"--batch", photos.path()}, batchEnvironment);
        QCOMPARE(batch.status, 1); // the fake's answer is no real cut-out; what counts is the key
        QCOMPARE(service.uploadCount(), 1);
        QCOMPARE(service.uploads().front().apiKey, key.toStdString());
    }

    {
        // A kept key fills the field at start; forgetting it empties the keyring.
        Widget window(QUrl(QStringLiteral("http://127.0.0.1:1/v1.0/removebg")));
        QTRY_COMPARE(window.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->text(), key);
        QTRY_COMPARE(keyActionOf(window)->text(), QStringLiteral("从系统钥匙串删除密钥"));
        keyActionOf(window)->trigger();
        QTRY_COMPARE(lastLogLine(&window), QStringLiteral("已从系统钥匙串删除密钥"));
    }
    QCOMPARE(KeyStore::readNow(), QString());

    // The key is in no file, the keyring's own included.
    QDirIterator files(home.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    int seen = 0;
    while (files.hasNext()) {
        ++seen;
        QVERIFY2(!readBytes(files.next()).contains(key.toUtf8()), qPrintable(files.filePath()));
    }
    QVERIFY(seen > 0); // the keyring's own files are there to look into
    daemon.terminate();
    daemon.waitForFinished();
}

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
