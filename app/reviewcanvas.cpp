#include "reviewcanvas.h"

#include "checkerboard.h"

#include "imagefile.h"
#include "masterfile.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

// The undo history of a large master is bounded by its bytes, oldest stroke first.
constexpr std::size_t historyBytes = std::size_t(1) << 30;

std::size_t bytesOf(const brush::Change &change)
{
    return std::size_t(change.area.area()) * 8;
}

} // namespace

ReviewCanvas::ReviewCanvas(QWidget *parent)
    : QWidget(parent)
{
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

ReviewCanvas::~ReviewCanvas()
{
    close();
}

bool ReviewCanvas::open(const QString &master, const QString &photoPath, bool withBackground, QRgb backgroundColour)
{
    close();
    if (!masterfile::read(master, colourPlane, alphaPlane))
        return false;
    hasBackground = withBackground;
    background = backgroundColour;
    shown = QImage(colourPlane.cols, colourPlane.rows, QImage::Format_ARGB32_Premultiplied);
    refresh(cv::Rect(0, 0, colourPlane.cols, colourPlane.rows));
    const cv::Size size = colourPlane.size();
    photoDecoding = std::async(std::launch::async, [photoPath, size] {
        try {
            const cv::Mat decoded = imagefile::decode(imagefile::read(photoPath), cv::IMREAD_COLOR);
            return decoded.size() == size ? decoded : cv::Mat();
        } catch (...) {
            return cv::Mat();
        }
    });
    fit();
    tell();
    return true;
}

void ReviewCanvas::close()
{
    if (photoDecoding.valid())
        photoDecoding.wait();
    photoDecoding = {};
    stroke.reset();
    colourPlane.release();
    alphaPlane.release();
    photoPlane.release();
    photoTried = false;
    shown = QImage();
    photoShown = QImage();
    history.clear();
    done = savedAt = 0;
    comparing = false;
}

const cv::Mat &ReviewCanvas::photo()
{
    if (!photoTried) {
        photoTried = true;
        if (photoDecoding.valid())
            photoPlane = photoDecoding.get();
    }
    return photoPlane;
}

void ReviewCanvas::refresh(const cv::Rect &area)
{
    const cv::Rect inside = area & cv::Rect(0, 0, colourPlane.cols, colourPlane.rows);
    for (int y = inside.y; y < inside.br().y; ++y) {
        const auto *colour = colourPlane.ptr<cv::Vec3b>(y);
        const auto *alpha = alphaPlane.ptr<uchar>(y);
        auto *out = reinterpret_cast<QRgb *>(shown.scanLine(y));
        for (int x = inside.x; x < inside.br().x; ++x) {
            const int a = alpha[x];
            const auto premultiplied = [a](int c) { return (c * a + 127) / 255; };
            out[x] = qRgba(premultiplied(colour[x][2]), premultiplied(colour[x][1]), premultiplied(colour[x][0]), a);
        }
    }
    update(toWidget(inside).adjusted(-1, -1, 1, 1));
}

QPointF ReviewCanvas::toImage(const QPointF &point) const
{
    return (point - offset) / zoom;
}

QRect ReviewCanvas::toWidget(const cv::Rect &area) const
{
    return QRectF(offset + QPointF(area.x, area.y) * zoom, QSizeF(area.width, area.height) * zoom).toAlignedRect();
}

QRect ReviewCanvas::brushOutline(const QPointF &at) const
{
    const double r = radius * zoom + 2;
    return QRectF(at - QPointF(r, r), QSizeF(2 * r, 2 * r)).toAlignedRect();
}

void ReviewCanvas::fit()
{
    if (shown.isNull())
        return;
    fitted = true;
    zoom = std::min(1.0, std::min(double(width()) / shown.width(), double(height()) / shown.height()));
    offset = QPointF((width() - shown.width() * zoom) / 2, (height() - shown.height() * zoom) / 2);
    update();
    tell();
}

void ReviewCanvas::actualSize()
{
    zoomAbout(rect().center(), 1 / zoom);
}

void ReviewCanvas::zoomAbout(const QPointF &point, double factor)
{
    const double next = std::clamp(zoom * factor, 0.01, 32.0);
    offset = point - (point - offset) * (next / zoom);
    zoom = next;
    fitted = false;
    update();
    tell();
}

void ReviewCanvas::setTool(brush::Tool chosen)
{
    tooled = true;
    tool = chosen;
    tell();
    update(brushOutline(pointer));
}

void ReviewCanvas::tell()
{
    const QString toolText = !tooled ? tr("未选画笔（E 擦除，R 恢复）")
                                     : tool == brush::Tool::Erase ? tr("擦除") : tr("恢复");
    emit status(tr("%1，笔刷 %2 像素，缩放 %3%").arg(toolText).arg(int(std::lround(2 * radius))).arg(int(std::lround(zoom * 100))));
}

void ReviewCanvas::setComparing(bool compare)
{
    if (compare == comparing)
        return;
    if (compare && photoShown.isNull()) {
        const cv::Mat &picture = photo();
        if (picture.empty()) {
            emit status(tr("照片无法读取，或与结果的尺寸不同，无法对照"));
            return;
        }
        cv::Mat rgb;
        cv::cvtColor(picture, rgb, cv::COLOR_BGR2RGB);
        photoShown = QImage(rgb.data, rgb.cols, rgb.rows, int(rgb.step), QImage::Format_RGB888).convertToFormat(QImage::Format_RGB32);
    }
    comparing = compare;
    update();
}

void ReviewCanvas::undo()
{
    if (done == 0 || stroke)
        return;
    --done;
    brush::apply(history[done], colourPlane, alphaPlane, true);
    refresh(history[done].area);
}

void ReviewCanvas::redo()
{
    if (done == history.size() || stroke)
        return;
    brush::apply(history[done], colourPlane, alphaPlane, false);
    refresh(history[done].area);
    ++done;
}

void ReviewCanvas::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    painter.fillRect(event->rect(), QColor(0x3c, 0x3c, 0x3c));
    if (shown.isNull())
        return;
    const QRectF target(offset, QSizeF(shown.width(), shown.height()) * zoom);
    painter.save();
    painter.setClipRect(target.intersected(QRectF(event->rect())));
    painter.setBrushOrigin(offset);
    painter.fillRect(target, hasBackground ? QBrush(QColor(background)) : checkerboard());
    // Only the exposed part is scaled: a stroke repaints a few hundred pixels, not the photo.
    const QRectF exposed = target.intersected(QRectF(event->rect()));
    const QRectF source((exposed.topLeft() - offset) / zoom, exposed.size() / zoom);
    painter.drawImage(exposed, comparing ? photoShown : shown, source);
    painter.restore();
    if (tooled && !comparing && rect().contains(pointer.toPoint())) {
        const double r = radius * zoom;
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(QColor(0, 0, 0, 160), 3));
        painter.drawEllipse(pointer, r, r);
        painter.setPen(QPen(Qt::white, 1));
        painter.drawEllipse(pointer, r, r);
    }
}

void ReviewCanvas::resizeEvent(QResizeEvent *)
{
    if (fitted)
        fit();
}

void ReviewCanvas::wheelEvent(QWheelEvent *event)
{
    const double steps = event->angleDelta().y() / 120.0;
    if (steps != 0)
        zoomAbout(event->position(), std::pow(1.25, steps));
    event->accept();
}

void ReviewCanvas::mousePressEvent(QMouseEvent *event)
{
    lastPoint = event->localPos();
    const bool paints = event->button() == Qt::LeftButton && tooled && !spaceHeld && !comparing && !shown.isNull();
    if (!paints) {
        panning = event->button() == Qt::MiddleButton || event->button() == Qt::LeftButton;
        return;
    }
    if (tool == brush::Tool::Restore && photo().empty()) {
        emit status(tr("照片无法读取，或与结果的尺寸不同，无法恢复"));
        return;
    }
    stroke = std::make_unique<brush::Stroke>(colourPlane, alphaPlane, photo(), tool);
    const QPointF at = toImage(lastPoint);
    refresh(stroke->drag({float(at.x()), float(at.y())}, {float(at.x()), float(at.y())}, radius));
}

void ReviewCanvas::mouseMoveEvent(QMouseEvent *event)
{
    const QPointF now = event->localPos();
    if (tooled)
        update(brushOutline(pointer).united(brushOutline(now)));
    pointer = now;
    if (panning) {
        offset += now - lastPoint;
        fitted = false;
        lastPoint = now;
        update();
    } else if (stroke) {
        const QPointF from = toImage(lastPoint), to = toImage(now);
        refresh(stroke->drag({float(from.x()), float(from.y())}, {float(to.x()), float(to.y())}, radius));
        lastPoint = now;
    }
}

void ReviewCanvas::mouseReleaseEvent(QMouseEvent *)
{
    panning = false;
    if (!stroke)
        return;
    brush::Change change = stroke->finish();
    stroke.reset();
    if (change.empty())
        return;
    history.resize(done);
    if (savedAt > done)
        savedAt = std::size_t(-1); // the saved state can no longer be reached by undo or redo
    history.push_back(std::move(change));
    ++done;
    std::size_t bytes = 0;
    for (const brush::Change &kept : history)
        bytes += bytesOf(kept);
    while (history.size() > 1 && bytes > historyBytes) {
        bytes -= bytesOf(history.front());
        history.erase(history.begin());
        --done;
        savedAt = savedAt == 0 || savedAt == std::size_t(-1) ? std::size_t(-1) : savedAt - 1;
    }
}

void ReviewCanvas::leaveEvent(QEvent *)
{
    if (tooled)
        update(brushOutline(pointer));
    pointer = QPointF(-1e9, -1e9);
}

void ReviewCanvas::keyPressEvent(QKeyEvent *event)
{
    const bool control = event->modifiers() & Qt::ControlModifier;
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    switch (event->key()) {
    case Qt::Key_Z:
        if (control)
            shift ? redo() : undo();
        break;
    case Qt::Key_Y:
        if (control)
            redo();
        break;
    case Qt::Key_S:
        if (control)
            emit saveAsked();
        break;
    case Qt::Key_Escape:
        emit leaveAsked();
        break;
    case Qt::Key_E:
        setTool(brush::Tool::Erase);
        break;
    case Qt::Key_R:
        setTool(brush::Tool::Restore);
        break;
    case Qt::Key_BracketLeft:
    case Qt::Key_BracketRight:
        update(brushOutline(pointer));
        radius = std::clamp(event->key() == Qt::Key_BracketLeft ? radius / 1.25f : radius * 1.25f, 1.0f, 2000.0f);
        update(brushOutline(pointer));
        tell();
        break;
    case Qt::Key_1:
        actualSize();
        break;
    case Qt::Key_0:
        fit();
        break;
    case Qt::Key_Tab:
        setComparing(!comparing);
        break;
    case Qt::Key_B:
        if (!event->isAutoRepeat())
            setComparing(true);
        break;
    case Qt::Key_Space:
        spaceHeld = true;
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}

void ReviewCanvas::keyReleaseEvent(QKeyEvent *event)
{
    if (event->isAutoRepeat())
        return;
    if (event->key() == Qt::Key_B)
        setComparing(false);
    else if (event->key() == Qt::Key_Space)
        spaceHeld = false;
}
