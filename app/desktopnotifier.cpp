#include "desktopnotifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QUrl>
#include <QVariantMap>

namespace {

const QString notifications = QStringLiteral("org.freedesktop.Notifications");
const QString notificationsPath = QStringLiteral("/org/freedesktop/Notifications");
const QString openAction = QStringLiteral("open-folder");
const QString reviewAction = QStringLiteral("review");

} // namespace

DesktopNotifier::DesktopNotifier(int notifyAfterMs, QObject *parent)
    : QObject(parent)
    , notifyAfterMs(notifyAfterMs)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected())
        bus.connect(notifications, notificationsPath, notifications, QStringLiteral("ActionInvoked"), this,
                    SLOT(actionInvoked(uint, QString)));
}

void DesktopNotifier::batchStarted()
{
    running.start();
}

void DesktopNotifier::progress(int finished, int total)
{
    if (total > 0)
        updateLauncher(double(finished) / total, total - finished, finished < total);
}

void DesktopNotifier::updateLauncher(double progress, int count, bool visible)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage update = QDBusMessage::createSignal(QStringLiteral("/org/quorrin/Quorrin/launcherentry"),
                                                     QStringLiteral("com.canonical.Unity.LauncherEntry"),
                                                     QStringLiteral("Update"));
    const QVariantMap properties{{QStringLiteral("progress"), progress},
                                 {QStringLiteral("progress-visible"), visible},
                                 {QStringLiteral("count"), qint64(count)},
                                 {QStringLiteral("count-visible"), visible && count > 0}};
    update << QStringLiteral("application://quorrin.desktop") << properties;
    bus.send(update);
}

void DesktopNotifier::batchEnded(int saved, int skipped, int failed, bool windowActive, const QString &outputFolder)
{
    updateLauncher(0, 0, false);
    const bool ranLong = running.isValid() && running.elapsed() > notifyAfterMs;
    running.invalidate();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!ranLong || windowActive || !bus.isConnected() || !bus.interface()->isServiceRegistered(notifications))
        return;
    QDBusMessage notify = QDBusMessage::createMethodCall(notifications, notificationsPath, notifications, QStringLiteral("Notify"));
    notify << QStringLiteral("Quorrin") << uint(0) << QStringLiteral("quorrin") << tr("抠图完成")
           << tr("保存 %1 张，跳过 %2 张，失败 %3 张").arg(saved).arg(skipped).arg(failed)
           << QStringList{openAction, tr("打开输出文件夹"), reviewAction, tr("审阅结果")}
           << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("quorrin")}} << -1;
    // Asynchronous: a slow or broken service never holds the window.
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(notify), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, outputFolder] {
        const QDBusPendingReply<uint> reply = *watcher;
        if (reply.isValid()) {
            lastNotification = reply.value();
            folderToOpen = outputFolder;
        }
        watcher->deleteLater();
    });
}

void DesktopNotifier::actionInvoked(uint id, const QString &action)
{
    if (id != lastNotification || id == 0)
        return;
    if (action == openAction && !folderToOpen.isEmpty())
        QDesktopServices::openUrl(QUrl::fromLocalFile(folderToOpen));
    else if (action == reviewAction)
        emit reviewAsked();
}
