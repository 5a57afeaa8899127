#pragma once

#include "brush.h"

#include <QImage>
#include <QPointF>
#include <QWidget>

#include <opencv2/core.hpp>

#include <functional>
#include <future>
#include <memory>
#include <vector>

// The review's large view: one master at full size, fitted to the window or zoomed, with
// the brush that erases it or restores the photo's own pixels, stroke by stroke undoable.
class ReviewCanvas : public QWidget
{
    Q_OBJECT

public:
    explicit ReviewCanvas(QWidget *parent = nullptr);
    ~ReviewCanvas() override;

    // Shows a master; `photo` is decoded meanwhile, for comparing and restoring. `background`
    // is what transparency shows over: a colour, or none for a checkerboard. False when the
    // master cannot be read.
    bool open(const QString &master, const QString &photo, bool hasBackground, QRgb background);
    void close();

    bool hasUnsavedStrokes() const { return done != savedAt; }
    // The master as it is now, for saving; and that what is saved is this.
    const cv::Mat &colour() const { return colourPlane; }
    const cv::Mat &alpha() const { return alphaPlane; }
    void markSaved() { savedAt = done; }
    // A save that failed: what is shown is not on disk.
    void markUnsaved() { savedAt = std::size_t(-1); }

    void undo();
    void redo();
    void setTool(brush::Tool tool);
    void fit();
    void actualSize();

signals:
    void saveAsked();
    void leaveAsked();
    // The tool, its size and the zoom, in words; or why something could not be done.
    void status(const QString &text);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void leaveEvent(QEvent *event) override;
    bool focusNextPrevChild(bool) override { return false; } // Tab compares

private:
    QPointF toImage(const QPointF &point) const;
    QRect toWidget(const cv::Rect &area) const;
    QRect brushOutline(const QPointF &at) const;
    void refresh(const cv::Rect &area);
    void zoomAbout(const QPointF &point, double factor);
    void setComparing(bool comparing);
    // The photo at the master's size, waiting for its decoding; empty when it cannot be had.
    const cv::Mat &photo();
    void tell();

    cv::Mat colourPlane, alphaPlane;
    QImage shown;      // the master, premultiplied, as painted
    QImage photoShown; // the photo, made the first time it is compared
    std::future<cv::Mat> photoDecoding;
    cv::Mat photoPlane;
    bool photoTried = false;
    bool hasBackground = false;
    QRgb background = 0;

    double zoom = 1;
    QPointF offset; // where the image's top left corner is, in the widget
    bool fitted = true;

    bool tooled = false;
    brush::Tool tool = brush::Tool::Erase;
    float radius = 20;
    std::unique_ptr<brush::Stroke> stroke;
    QPointF lastPoint;
    QPointF pointer{-1e9, -1e9};
    bool panning = false;
    bool spaceHeld = false;
    bool comparing = false;

    std::vector<brush::Change> history; // strokes done, then those undone that may be redone
    std::size_t done = 0;
    std::size_t savedAt = 0;
};
