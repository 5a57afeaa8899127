#pragma once

#include <QBrush>
#include <QColor>
#include <QPainter>
#include <QPixmap>

// Transparency shows as grey squares: white would look like a white background.
inline QBrush checkerboard()
{
    constexpr int square = 8;
    QPixmap tile(2 * square, 2 * square);
    tile.fill(QColor(0xe0, 0xe0, 0xe0));
    QPainter painter(&tile);
    painter.fillRect(0, 0, square, square, QColor(0xb0, 0xb0, 0xb0));
    painter.fillRect(square, square, square, square, QColor(0xb0, 0xb0, 0xb0));
    return QBrush(tile);
}
