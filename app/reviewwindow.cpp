#include "reviewwindow.h"

#include "checkerboard.h"

#include "compositor.h"
#include "presetcheck.h"
#include "reviewcanvas.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QVBoxLayout>

namespace {

constexpr int tileSide = 192;

QPixmap tilePixmap(const Thumbnails::Tile &tile, const OutputChoices &choices, const QString &placeholder)
{
    QPixmap pixmap(tileSide, tileSide);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    if (tile.image.isNull()) {
        painter.fillRect(pixmap.rect(), QColor(0xd8, 0xd8, 0xd8));
        painter.setPen(QColor(0x70, 0x70, 0x70));
        painter.drawText(pixmap.rect().adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap, placeholder);
        return pixmap;
    }
    const QSize size = tile.image.size().scaled(tileSide, tileSide, Qt::KeepAspectRatio);
    const QRect at(QPoint((tileSide - size.width()) / 2, (tileSide - size.height()) / 2), size);
    if (choices.variantHasBackground()) {
        painter.fillRect(at, QColor(QRgb(choices.background)));
    } else {
        painter.setBrushOrigin(at.topLeft());
        painter.fillRect(at, checkerboard());
    }
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(at, tile.image);
    return pixmap;
}

} // namespace

ReviewWindow::ReviewWindow(const QString &input, const QString &output, const OutputChoices &choices,
                           const QString &cacheFolder, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , choices(choices)
    , items(reviewitems::list(input, output, choices))
    , thumbnails(tileSide, cacheFolder)
    , pages(new QStackedWidget)
    , grid(new QListWidget)
    , canvas(new ReviewCanvas)
    , statusLine(new QLabel)
{
    const QString folder = items.isEmpty() ? input : QFileInfo(items.first().master).absolutePath();
    title = tr("Quorrin 审阅 — %1").arg(QDir::toNativeSeparators(folder));
    setWindowTitle(title);
    setObjectName(QStringLiteral("review"));
    saving.setMaxThreadCount(1);
    thumbnails.setChoices(choices);

    grid->setObjectName(QStringLiteral("reviewGrid"));
    grid->setViewMode(QListView::IconMode);
    grid->setIconSize(QSize(tileSide, tileSide));
    grid->setGridSize(QSize(tileSide + 24, tileSide + 56));
    grid->setResizeMode(QListView::Adjust);
    grid->setMovement(QListView::Static);
    grid->setUniformItemSizes(true);
    grid->setWordWrap(true);
    grid->setSelectionMode(QAbstractItemView::SingleSelection);
    QPixmap waiting(tileSide, tileSide);
    waiting.fill(QColor(0xee, 0xee, 0xee));
    for (const reviewitems::Item &item : items) {
        auto *tile = new QListWidgetItem(QIcon(waiting), QFileInfo(item.source).fileName() + QLatin1Char('\n'), grid);
        tile->setToolTip(item.source);
    }
    marks.fill(reviewitems::Mark::Fine, items.size());
    connect(grid, &QListWidget::itemActivated, this, [this](QListWidgetItem *tile) { openLarge(grid->row(tile)); });
    auto *trash = new QAction(this);
    trash->setShortcut(QKeySequence::Delete);
    trash->setShortcutContext(Qt::WidgetShortcut);
    grid->addAction(trash);
    connect(trash, &QAction::triggered, this, &ReviewWindow::trashCurrent);

    auto *sendButton = new QPushButton(tr("重新发送"));
    sendButton->setObjectName(QStringLiteral("sendAgain"));
    sendButton->setToolTip(tr("把没有结果的照片（或选中的这张）再发送一次"));
    connect(sendButton, &QPushButton::clicked, this, &ReviewWindow::askToSend);

    auto *gridPage = new QWidget;
    auto *gridLayout = new QVBoxLayout(gridPage);
    gridLayout->setContentsMargins(0, 0, 0, 0);
    gridLayout->addWidget(grid);
    pages->addWidget(gridPage);
    pages->addWidget(canvas);

    auto *bottom = new QHBoxLayout;
    bottom->addWidget(statusLine, 1);
    bottom->addWidget(sendButton);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(pages, 1);
    layout->addLayout(bottom);
    statusLine->setObjectName(QStringLiteral("reviewStatus"));
    statusLine->setTextInteractionFlags(Qt::TextSelectableByMouse);

    connect(canvas, &ReviewCanvas::status, statusLine, &QLabel::setText);
    connect(canvas, &ReviewCanvas::saveAsked, this, &ReviewWindow::save);
    connect(canvas, &ReviewCanvas::leaveAsked, this, &ReviewWindow::leaveLarge);
    connect(&thumbnails, &Thumbnails::ready, this, &ReviewWindow::showTile);

    say(items.isEmpty() ? tr("这里没有照片：%1").arg(QDir::toNativeSeparators(input))
                        : tr("%1 张照片。方向键选择，回车放大，Delete 把结果移到回收站以便重新发送").arg(items.size()));
    resize(1100, 760);
    reload();
    if (!items.isEmpty())
        grid->setCurrentRow(0);
}

ReviewWindow::~ReviewWindow()
{
    thumbnails.cancel();
    saving.waitForDone();
}

void ReviewWindow::setReasons(const QHash<QString, QString> &failures)
{
    reasons = failures;
    for (int i = 0; i < items.size(); ++i)
        if (marks.at(i) == reviewitems::Mark::NoResult)
            showTile(i, Thumbnails::Tile());
}

void ReviewWindow::reload()
{
    thumbnails.cancel();
    for (int i = 0; i < items.size(); ++i)
        thumbnails.request(i, items.at(i));
}

void ReviewWindow::showTile(int index, const Thumbnails::Tile &tile)
{
    if (index < 0 || index >= items.size())
        return;
    marks[index] = tile.mark;
    QListWidgetItem *entry = grid->item(index);
    QString placeholder = reviewitems::describe(tile.mark);
    if (tile.mark == reviewitems::Mark::NoResult && reasons.contains(items.at(index).source))
        placeholder = reasons.value(items.at(index).source);
    entry->setIcon(QIcon(tilePixmap(tile, choices, placeholder)));
    // Always two lines: the grid sizes every tile as its first.
    QString text = QFileInfo(items.at(index).source).fileName() + QLatin1Char('\n');
    if (reviewitems::wantsALook(tile.mark))
        text += QStringLiteral("⚠ ") + reviewitems::describe(tile.mark);
    else if (!tile.shortOf.isEmpty())
        text += QStringLiteral("⚠ ") + tr("不合预设要求");
    else if (tile.edited)
        text += QStringLiteral("✎ ") + tr("已手工修改");
    entry->setText(text);
    entry->setToolTip(items.at(index).source + QLatin1Char('\n') + placeholder
                      + (tile.shortOf.isEmpty() ? QString() : QLatin1Char('\n') + tile.shortOf));
    const bool missing = tile.image.isNull();
    entry->setForeground(missing ? QColor(0x80, 0x80, 0x80) : palette().color(QPalette::Text));
    const bool standsOut = reviewitems::wantsALook(tile.mark) || !tile.shortOf.isEmpty();
    entry->setBackground(standsOut && !missing ? QColor(0xff, 0xe8, 0xc8) : QColor(Qt::transparent));
}

void ReviewWindow::openLarge(int index)
{
    if (index < 0 || index >= items.size())
        return;
    const reviewitems::Item &item = items.at(index);
    if (!QFileInfo(item.master).isFile()) {
        say(tr("%1 还没有结果").arg(QFileInfo(item.source).fileName()));
        return;
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool opens = canvas->open(item.master, item.source, choices.variantHasBackground(), QRgb(choices.background));
    QApplication::restoreOverrideCursor();
    if (!opens) {
        say(tr("无法读取 %1：不是可用的原尺寸结果").arg(QDir::toNativeSeparators(item.master)));
        return;
    }
    opened = index;
    pages->setCurrentWidget(canvas);
    canvas->setFocus();
    setWindowTitle(title + QStringLiteral(" — ") + QFileInfo(item.source).fileName());
}

bool ReviewWindow::settleStrokes()
{
    if (opened < 0 || !canvas->hasUnsavedStrokes())
        return true;
    const auto answer = QMessageBox::question(this, tr("保存修改"),
                                              tr("%1 的修改还没有保存。保存吗？").arg(QFileInfo(items.at(opened).source).fileName()),
                                              QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Save);
    if (answer == QMessageBox::Cancel)
        return false;
    if (answer == QMessageBox::Save)
        save();
    return true;
}

bool ReviewWindow::leaveLarge()
{
    if (opened < 0)
        return true;
    if (!settleStrokes())
        return false;
    canvas->close();
    pages->setCurrentIndex(0);
    grid->setCurrentRow(opened);
    grid->setFocus();
    opened = -1;
    setWindowTitle(title);
    return true;
}

void ReviewWindow::save()
{
    if (opened < 0)
        return;
    if (!canvas->hasUnsavedStrokes()) {
        say(tr("没有要保存的修改"));
        return;
    }
    const reviewitems::Item item = items.at(opened);
    ScaleAndMix::Request request;
    request.origin = item.source;
    request.target = item.master;
    request.choices = choices;
    request.variantPath = item.variant;
    request.maskPath = item.mask;
    // Copies: the user may go on with the next stroke while these are written.
    const cv::Mat colour = canvas->colour().clone(), alpha = canvas->alpha().clone();
    canvas->markSaved();
    say(tr("正在保存 %1…").arg(QFileInfo(item.master).fileName()));
    const int index = opened;
    saving.start([this, request, colour, alpha, index] {
        ScaleAndMix::Report report;
        try {
            report = compositor::saveEdited(request, colour, alpha, 0);
        } catch (...) {
            report.outcome = ScaleAndMix::LibraryFailed;
        }
        QMetaObject::invokeMethod(this, [this, request, report, index] {
            if (report.outcome == ScaleAndMix::Written) {
                QString said = tr("已保存 %1，并由它重新生成 %2 个文件").arg(QFileInfo(request.target).fileName()).arg(report.written.size());
                if (presetcheck::fallsShort(report.checks))
                    said += tr("；不合预设要求：%1").arg(presetcheck::shortfall(report.checks));
                say(said);
            } else if (report.outcome == ScaleAndMix::FormatHasNoAlpha) {
                say(tr("只有 PNG 结果能保存修改：%1").arg(QDir::toNativeSeparators(request.target)));
            } else if (report.outcome == ScaleAndMix::OtherFileFailed || report.outcome == ScaleAndMix::OtherFileOnPhoto) {
                say(tr("已保存 %1，但由它生成的文件没有写成").arg(QFileInfo(request.target).fileName()));
            } else {
                say(tr("无法保存 %1：文件夹不可写，或磁盘已满；修改仍在窗口里").arg(QDir::toNativeSeparators(request.target)));
                if (opened == index)
                    canvas->markUnsaved();
            }
            thumbnails.request(index, items.at(index)); // off this thread: a master takes a while to decode
        }, Qt::QueuedConnection);
    });
}

void ReviewWindow::trashCurrent()
{
    const int index = grid->currentRow();
    if (index < 0 || index >= items.size())
        return;
    const reviewitems::Item &item = items.at(index);
    if (!QFileInfo(item.master).isFile()) {
        say(tr("%1 还没有结果，下次批处理会发送它").arg(QFileInfo(item.source).fileName()));
        return;
    }
    // Qt puts the file beside the working folder when the home trash is not there yet.
    const QString trash = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Trash");
    QDir().mkpath(trash + QStringLiteral("/files"));
    QDir().mkpath(trash + QStringLiteral("/info"));
    QFile master(item.master);
    if (!master.moveToTrash()) {
        say(tr("无法把 %1 移到回收站：%2").arg(QDir::toNativeSeparators(item.master), master.errorString()));
        return;
    }
    say(tr("%1 的结果已移到回收站，下次批处理会重新发送它").arg(QFileInfo(item.source).fileName()));
    showTile(index, Thumbnails::Tile());
}

void ReviewWindow::askToSend()
{
    QStringList photos;
    for (int i = 0; i < items.size(); ++i)
        if (marks.at(i) == reviewitems::Mark::NoResult)
            photos << items.at(i).source;
    if (photos.isEmpty() && grid->currentRow() >= 0)
        photos << items.at(grid->currentRow()).source;
    if (!photos.isEmpty())
        emit sendAgain(photos);
}

void ReviewWindow::say(const QString &text)
{
    statusLine->setText(text);
}

void ReviewWindow::closeEvent(QCloseEvent *event)
{
    if (!settleStrokes()) {
        event->ignore();
        return;
    }
    saving.waitForDone();
    event->accept();
}
