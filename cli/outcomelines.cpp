#include "outcomelines.h"

#include <QCoreApplication>
#include <QFileInfo>

QString outcomeLine(const PhotoOutcome &photo)
{
    const QString name = QFileInfo(photo.source).fileName();
    switch (photo.kind) {
    case PhotoOutcome::Saved:
        return QCoreApplication::translate("HeadlessBatch", "保存：%1").arg(name);
    case PhotoOutcome::Finished:
        return QCoreApplication::translate("HeadlessBatch", "由服务的小图生成：%1").arg(name);
    case PhotoOutcome::Derived:
        return QCoreApplication::translate("HeadlessBatch", "由已有结果生成：%1").arg(name);
    case PhotoOutcome::Skipped:
        return QCoreApplication::translate("HeadlessBatch", "跳过：%1").arg(name);
    case PhotoOutcome::NoSubject:
        return QCoreApplication::translate("HeadlessBatch", "没有找到主体：%1").arg(name);
    case PhotoOutcome::Failed:
        return QCoreApplication::translate("HeadlessBatch", "失败：%1：%2").arg(name, photo.reason);
    case PhotoOutcome::Pending:
    case PhotoOutcome::Unsent:
        break;
    }
    return QCoreApplication::translate("HeadlessBatch", "未发送：%1").arg(name);
}
