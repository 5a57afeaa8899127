#include "outputoptionsdialog.h"

#include "checkerboard.h"
#include "masterfile.h"
#include "variant.h"

#include "edgecleaner.h"
#include "scaleandmix.h"

#include <QBrush>
#include <QCheckBox>
#include <QColor>
#include <QColorDialog>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QSpinBox>
#include <QVBoxLayout>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

// The preview's longer side at most.
constexpr int previewSide = 360;

// The background box's items, in order.
enum Background { NoBackground, White, Black, Custom };

cv::Mat fitted(const cv::Mat &image)
{
    const int side = std::max(image.cols, image.rows);
    if (side <= previewSide)
        return image;
    const double scale = double(previewSide) / side;
    cv::Mat small;
    cv::resize(image, small,
               cv::Size(std::max(1, int(std::lround(image.cols * scale))), std::max(1, int(std::lround(image.rows * scale)))),
               0, 0, cv::INTER_AREA);
    return small;
}

QString sizeText(const QSpinBox *width, const QSpinBox *height)
{
    return QStringLiteral("%1x%2").arg(width->value()).arg(height->value());
}

// The master at the preview's size, as 8-bit colour and alpha; false when it cannot be read.
// `subjectSide`, when given, gets the longer side of its subject at full size.
bool readMaster(const QString &path, cv::Mat &colour, cv::Mat &alpha, int *subjectSide = nullptr)
{
    cv::Mat fullColour, fullAlpha;
    if (!masterfile::read(path, fullColour, fullAlpha))
        return false;
    if (subjectSide) {
        const cv::Rect box = variant::subjectBox(fullAlpha);
        *subjectSide = std::max(box.width, box.height);
    }
    colour = fitted(fullColour);
    alpha = fitted(fullAlpha);
    return true;
}

// Transparency shows as grey squares: white would look like a white background.
QPixmap pixmapOf(const cv::Mat &picture)
{
    const bool opaque = picture.channels() == 3;
    cv::Mat rgb;
    cv::cvtColor(picture, rgb, opaque ? cv::COLOR_BGR2RGB : cv::COLOR_BGRA2RGBA);
    const QImage image(rgb.data, rgb.cols, rgb.rows, int(rgb.step), opaque ? QImage::Format_RGB888 : QImage::Format_RGBA8888);
    if (opaque)
        return QPixmap::fromImage(image);
    QPixmap pixmap(image.size());
    QPainter painter(&pixmap);
    painter.fillRect(pixmap.rect(), checkerboard());
    painter.drawImage(0, 0, image);
    return pixmap;
}

} // namespace

OutputOptionsDialog::OutputOptionsDialog(const OutputChoices &choices, const QVector<PreviewPhoto> &photos, QWidget *parent)
    : QDialog(parent)
    , backgroundBox(new QComboBox)
    , colourEdit(new QLineEdit)
    , pickButton(new QPushButton(tr("选择…")))
    , formatBox(new QComboBox)
    , qualityBox(new QSpinBox)
    , cropBox(new QCheckBox(tr("裁到主体")))
    , marginBox(new QDoubleSpinBox)
    , canvasBox(new QComboBox)
    , widthBox(new QSpinBox)
    , heightBox(new QSpinBox)
    , maskBox(new QCheckBox(tr("另存蒙版")))
    , pngBox(new QComboBox)
    , edgesBox(new QComboBox)
    , keepHiddenBox(new QCheckBox(tr("透明处保留原照片像素（便于在其他程序里重新编辑蒙版）")))
    , sizeBox(new QComboBox)
    , problemLabel(new QLabel)
    , preview(new QLabel)
    , photoLabel(new QLabel)
    , previousButton(new QPushButton(tr("上一张")))
    , nextButton(new QPushButton(tr("下一张")))
    , photos(photos)
    , buttons(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel))
{
    setWindowTitle(tr("输出选项"));
    presetBox = new QComboBox;
    presetBox->setObjectName(QStringLiteral("preset"));
    presetBox->addItem(tr("无"));
    QString unreadable;
    for (const Preset &preset : presets::all(&unreadable))
        presetBox->addItem(preset.name);
    presetRules = new QLabel(unreadable);
    presetRules->setObjectName(QStringLiteral("presetRules"));
    presetRules->setWordWrap(true);
    srgbBox = new QCheckBox(tr("转换为 sRGB"));
    srgbBox->setObjectName(QStringLiteral("srgb"));
    backgroundBox->setObjectName(QStringLiteral("background"));
    colourEdit->setObjectName(QStringLiteral("colour"));
    pickButton->setObjectName(QStringLiteral("pickColour"));
    formatBox->setObjectName(QStringLiteral("format"));
    qualityBox->setObjectName(QStringLiteral("quality"));
    cropBox->setObjectName(QStringLiteral("crop"));
    marginBox->setObjectName(QStringLiteral("margin"));
    canvasBox->setObjectName(QStringLiteral("canvas"));
    widthBox->setObjectName(QStringLiteral("canvasWidth"));
    heightBox->setObjectName(QStringLiteral("canvasHeight"));
    maskBox->setObjectName(QStringLiteral("mask"));
    pngBox->setObjectName(QStringLiteral("png"));
    edgesBox->setObjectName(QStringLiteral("edges"));
    sizeBox->setObjectName(QStringLiteral("size"));
    sizeBox->addItem(tr("自动（每张 1 点额度）"), int(UploadSize::Auto));
    sizeBox->addItem(tr("预览（每张 0.25 点额度）"), int(UploadSize::Preview));
    sizeBox->addItem(tr("原尺寸（每张 1 点额度）"), int(UploadSize::Full));
    sizeBox->setToolTip(tr("预览：上传不超过 100 万像素的 JPEG，服务只回答约 25 万像素的抠图，每张计 0.25 点额度；"
                           "边缘用 --edges refine 在原尺寸上精修最合适"));
    keepHiddenBox->setObjectName(QStringLiteral("keepHidden"));
    preview->setObjectName(QStringLiteral("preview"));
    photoLabel->setObjectName(QStringLiteral("previewPhoto"));
    previousButton->setObjectName(QStringLiteral("previousPhoto"));
    nextButton->setObjectName(QStringLiteral("nextPhoto"));
    photoLabel->setAlignment(Qt::AlignCenter);

    backgroundBox->addItems({tr("透明"), tr("白色"), tr("黑色"), tr("自定义")});
    // Its first item's caption follows the format.
    backgroundBox->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    colourEdit->setPlaceholderText(QStringLiteral("#rrggbb"));
    colourEdit->setMaxLength(7);
    colourEdit->setMinimumWidth(colourEdit->fontMetrics().horizontalAdvance(QStringLiteral("#DDDDDDD")));
    colourEdit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("#[0-9A-Fa-f]{6}")), colourEdit));
    formatBox->addItems({QStringLiteral("PNG"), QStringLiteral("JPEG"), QStringLiteral("WebP")});
    qualityBox->setRange(1, 100);
    marginBox->setRange(0, 100);
    marginBox->setDecimals(1);
    marginBox->setSuffix(QStringLiteral(" %"));
    canvasBox->addItems({tr("原样"), tr("方形"), tr("指定尺寸")});
    for (QSpinBox *side : {widthBox, heightBox}) {
        side->setRange(1, 999999);
        side->setValue(1000);
    }
    pngBox->addItems({tr("快速"), tr("更小")});
    edgesBox->addItems({tr("照片原色"), tr("清理边缘颜色"), tr("细化边缘（适合小尺寸抠图）")});
    problemLabel->setStyleSheet(QStringLiteral("color: #c00000"));
    preview->setAlignment(Qt::AlignCenter);
    preview->setWordWrap(true);
    preview->setMinimumSize(previewSide, previewSide);

    auto *form = new QFormLayout;
    form->addRow(tr("预设"), presetBox);
    form->addRow(presetRules);
    auto *backgroundRow = new QHBoxLayout;
    backgroundRow->addWidget(backgroundBox);
    backgroundRow->addWidget(colourEdit);
    backgroundRow->addWidget(pickButton);
    form->addRow(tr("背景"), backgroundRow);
    auto *formatRow = new QHBoxLayout;
    formatRow->addWidget(formatBox);
    formatRow->addWidget(new QLabel(tr("质量")));
    formatRow->addWidget(qualityBox);
    form->addRow(tr("格式"), formatRow);
    auto *cropRow = new QHBoxLayout;
    cropRow->addWidget(cropBox);
    cropRow->addWidget(new QLabel(tr("边距")));
    cropRow->addWidget(marginBox);
    form->addRow(tr("裁剪"), cropRow);
    auto *canvasRow = new QHBoxLayout;
    canvasRow->addWidget(canvasBox);
    canvasRow->addWidget(widthBox);
    canvasRow->addWidget(new QLabel(QStringLiteral("×")));
    canvasRow->addWidget(heightBox);
    form->addRow(tr("画布"), canvasRow);
    form->addRow(tr("PNG 压缩"), pngBox);
    form->addRow(maskBox);
    form->addRow(tr("边缘"), edgesBox);
    form->addRow(keepHiddenBox);
    form->addRow(srgbBox);
    form->addRow(tr("上传尺寸"), sizeBox);
    auto *sizeNote = new QLabel(sizeBox->toolTip());
    sizeNote->setWordWrap(true);
    form->addRow(sizeNote);
    form->addRow(problemLabel);
    auto *stepRow = new QHBoxLayout;
    stepRow->addWidget(previousButton);
    stepRow->addWidget(photoLabel, 1);
    stepRow->addWidget(nextButton);
    auto *previewColumn = new QVBoxLayout;
    previewColumn->addWidget(preview, 1);
    previewColumn->addLayout(stepRow);
    auto *columns = new QHBoxLayout;
    columns->addLayout(form);
    columns->addLayout(previewColumn, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(columns);
    layout->addWidget(buttons);

    showChoices(choices);
    for (int i = 0; i < photos.size() && current < 0; ++i)
        if (load(i))
            current = i;
    // With none to show, the first photo says why.
    if (current < 0) {
        const QString first = photos.value(0).master;
        cv::Mat firstColour, firstAlpha;
        preview->setText(!QFileInfo(first).isFile()                        ? tr("还没有这张照片的结果，无法预览")
                         : readMaster(first, firstColour, firstAlpha) ? tr("这张照片的结果里没有主体，无法预览")
                                                                        : tr("无法读取这张照片的结果，无法预览"));
    }
    photoLabel->setText(QFileInfo(photos.value(std::max(0, current)).photo).fileName());
    previousButton->setEnabled(current >= 0 && photos.size() > 1);
    nextButton->setEnabled(current >= 0 && photos.size() > 1);
    refresh();

    for (QComboBox *box : {backgroundBox, formatBox, canvasBox, pngBox, edgesBox})
        connect(box, qOverload<int>(&QComboBox::currentIndexChanged), this, &OutputOptionsDialog::refresh);
    for (QSpinBox *box : {qualityBox, widthBox, heightBox})
        connect(box, qOverload<int>(&QSpinBox::valueChanged), this, &OutputOptionsDialog::refresh);
    for (QCheckBox *box : {cropBox, maskBox, keepHiddenBox})
        connect(box, &QCheckBox::toggled, this, &OutputOptionsDialog::refresh);
    connect(marginBox, qOverload<double>(&QDoubleSpinBox::valueChanged), this, &OutputOptionsDialog::refresh);
    connect(srgbBox, &QCheckBox::toggled, this, &OutputOptionsDialog::refresh);
    // A preset's own choices shown in the controls it sets.
    connect(presetBox, qOverload<int>(&QComboBox::currentIndexChanged), this, [this](int index) {
        if (index > 0) {
            OutputChoices chosen;
            chosen.set(QStringLiteral("preset"), presetBox->itemText(index));
            chosen.mask = maskBox->isChecked();
            chosen.png = OutputChoices::Compression(pngBox->currentIndex());
            chosen.edges = OutputChoices::Edges(edgesBox->currentIndex());
            chosen.hidden = keepHiddenBox->isChecked() ? OutputChoices::Hidden::Keep : OutputChoices::Hidden::Clear;
            showChoices(chosen);
        }
        refresh();
    });
    connect(colourEdit, &QLineEdit::textChanged, this, &OutputOptionsDialog::refresh);
    connect(pickButton, &QPushButton::clicked, this, &OutputOptionsDialog::pickColour);
    connect(previousButton, &QPushButton::clicked, this, [this] { step(-1); });
    connect(nextButton, &QPushButton::clicked, this, [this] { step(1); });
    connect(buttons, &QDialogButtonBox::accepted, this, &OutputOptionsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &OutputOptionsDialog::reject);
}

void OutputOptionsDialog::showChoices(const OutputChoices &choices)
{
    presetBox->setCurrentIndex(std::max(0, presetBox->findText(choices.preset.name)));
    srgbBox->setChecked(choices.colour == OutputChoices::Colour::Srgb);
    if (!choices.hasBackground) {
        backgroundBox->setCurrentIndex(NoBackground);
    } else if (choices.background == 0xffffff) {
        backgroundBox->setCurrentIndex(White);
    } else if (choices.background == 0) {
        backgroundBox->setCurrentIndex(Black);
    } else {
        backgroundBox->setCurrentIndex(Custom);
        colourEdit->setText(QStringLiteral("#%1").arg(choices.background, 6, 16, QLatin1Char('0')));
    }
    formatBox->setCurrentIndex(int(choices.format));
    qualityBox->setValue(choices.quality);
    cropBox->setChecked(choices.crop);
    marginBox->setValue(choices.margin);
    canvasBox->setCurrentIndex(int(choices.canvas));
    if (choices.canvas == OutputChoices::Canvas::Size) {
        widthBox->setValue(choices.canvasWidth);
        heightBox->setValue(choices.canvasHeight);
    }
    maskBox->setChecked(choices.mask);
    pngBox->setCurrentIndex(int(choices.png));
    edgesBox->setCurrentIndex(int(choices.edges));
    keepHiddenBox->setChecked(choices.hidden == OutputChoices::Hidden::Keep);
}

OutputChoices OutputOptionsDialog::choices() const
{
    OutputChoices choices;
    // What a preset leaves to the user, and every other control's choice without one.
    const auto common = [this](OutputChoices &chosen) {
        chosen.mask = maskBox->isChecked();
        chosen.png = OutputChoices::Compression(pngBox->currentIndex());
        chosen.edges = OutputChoices::Edges(edgesBox->currentIndex());
        chosen.hidden = keepHiddenBox->isChecked() ? OutputChoices::Hidden::Keep : OutputChoices::Hidden::Clear;
        chosen.colour = srgbBox->isChecked() ? OutputChoices::Colour::Srgb : OutputChoices::Colour::Keep;
        return chosen;
    };
    if (presetBox->currentIndex() > 0 && choices.set(QStringLiteral("preset"), presetBox->currentText()).isEmpty()) {
        choices.quality = qualityBox->value();
        return common(choices);
    }
    switch (backgroundBox->currentIndex()) {
    case White:
        choices.hasBackground = true;
        break;
    case Black:
        choices.hasBackground = true;
        choices.background = 0;
        break;
    case Custom:
        choices.hasBackground = colourEdit->hasAcceptableInput();
        if (choices.hasBackground)
            choices.background = colourEdit->text().midRef(1).toUInt(nullptr, 16);
        break;
    }
    choices.format = OutputChoices::Format(formatBox->currentIndex());
    // A quality that no file uses would only show up in the settings.
    if (choices.format != OutputChoices::Format::Png)
        choices.quality = qualityBox->value();
    choices.crop = cropBox->isChecked();
    if (choices.crop)
        choices.margin = marginBox->value();
    choices.canvas = OutputChoices::Canvas(canvasBox->currentIndex());
    if (choices.canvas == OutputChoices::Canvas::Size
        && !choices.set(QStringLiteral("canvas"), sizeText(widthBox, heightBox)).isEmpty())
        choices.canvas = OutputChoices::Canvas::None;
    return common(choices);
}

QString OutputOptionsDialog::problem() const
{
    if (backgroundBox->currentIndex() == Custom && !colourEdit->hasAcceptableInput())
        return tr("自定义背景颜色请写成 #rrggbb");
    if (canvasBox->currentIndex() == int(OutputChoices::Canvas::Size)
        && !OutputChoices().set(QStringLiteral("canvas"), sizeText(widthBox, heightBox)).isEmpty())
        return tr("画布太大：最多 2.5 亿像素");
    return {};
}

void OutputOptionsDialog::accept()
{
    if (problem().isEmpty())
        QDialog::accept();
}

void OutputOptionsDialog::pickColour()
{
    const QColor picked = QColorDialog::getColor(
        colourEdit->hasAcceptableInput() ? QColor(colourEdit->text()) : QColor(Qt::white), this, tr("背景颜色"));
    if (!picked.isValid())
        return;
    colourEdit->setText(picked.name());
    backgroundBox->setCurrentIndex(Custom);
}

void OutputOptionsDialog::refresh()
{
    const bool jpeg = formatBox->currentIndex() == int(OutputChoices::Format::Jpeg);
    backgroundBox->setItemText(NoBackground, jpeg ? tr("无（JPEG 用白色）") : tr("透明"));
    colourEdit->setEnabled(backgroundBox->currentIndex() == Custom);
    qualityBox->setEnabled(formatBox->currentIndex() != int(OutputChoices::Format::Png));
    marginBox->setEnabled(cropBox->isChecked());
    const bool sized = canvasBox->currentIndex() == int(OutputChoices::Canvas::Size);
    widthBox->setEnabled(sized);
    heightBox->setEnabled(sized);
    const bool preset = presetBox->currentIndex() > 0;
    for (QWidget *chosenByPreset : {static_cast<QWidget *>(backgroundBox), static_cast<QWidget *>(formatBox),
                                    static_cast<QWidget *>(cropBox), static_cast<QWidget *>(canvasBox)})
        chosenByPreset->setEnabled(!preset);
    if (preset) {
        for (QWidget *control : {static_cast<QWidget *>(colourEdit), static_cast<QWidget *>(pickButton),
                                 static_cast<QWidget *>(marginBox), static_cast<QWidget *>(widthBox),
                                 static_cast<QWidget *>(heightBox)})
            control->setEnabled(false);
        const Preset &rules = choices().preset;
        presetRules->setText(tr("方形画布 %1 像素（照片像素不够时更小，不放大），主体占 %2%").arg(rules.size).arg(rules.fill)
                             + (rules.minimum > 0 ? tr("，至少 %1 像素").arg(rules.minimum) : QString())
                             + (rules.maximum > 0 ? tr("，至多 %1 像素").arg(rules.maximum) : QString())
                             + (rules.fileMegabytes > 0 ? tr("，文件至多 %1 MB").arg(rules.fileMegabytes) : QString()));
        // The size check, for the photo shown, at full size: the rule a small photo fails.
        const int side = presets::frameFor(rules, fullSubjectSide).side;
        if (!colour.empty() && side > 0)
            presetRules->setText(presetRules->text() + QLatin1Char('\n')
                                 + (rules.minimum > side ? tr("这张照片：只有 %1 像素，%2 要求至少 %3").arg(side).arg(rules.name).arg(rules.minimum)
                                                         : tr("这张照片：%1 像素").arg(side)));
    } else if (presetBox->count() > 1) {
        presetRules->clear();
    }
    const QString why = problem();
    problemLabel->setText(why);
    buttons->button(QDialogButtonBox::Ok)->setEnabled(why.isEmpty());
    if (why.isEmpty())
        showPreview(choices());
}

bool OutputOptionsDialog::load(int index)
{
    cv::Mat readColour, readAlpha;
    int subjectSide = 0;
    if (!QFileInfo(photos.at(index).master).isFile()
        || !readMaster(photos.at(index).master, readColour, readAlpha, &subjectSide) || cv::countNonZero(readAlpha) == 0)
        return false;
    fullSubjectSide = subjectSide;
    colour = readColour;
    alpha = readAlpha;
    return true;
}

void OutputOptionsDialog::step(int direction)
{
    const int count = photos.size();
    for (int distance = 1; distance < count; ++distance) {
        const int index = ((current + direction * distance) % count + count) % count;
        if (load(index)) {
            current = index;
            photoLabel->setText(QFileInfo(photos.at(index).photo).fileName());
            refresh();
            return;
        }
    }
}

void OutputOptionsDialog::showPreview(OutputChoices choices)
{
    if (colour.empty())
        return;
    // The picture is fitted into a canvas of any size, so a canvas scaled down to the
    // preview looks the same, without the memory a full-size one would take.
    if (choices.canvas == OutputChoices::Canvas::Size) {
        const double scale = std::min(1.0, double(previewSide) / std::max(choices.canvasWidth, choices.canvasHeight));
        choices.canvasWidth = std::max(1, int(std::lround(choices.canvasWidth * scale)));
        choices.canvasHeight = std::max(1, int(std::lround(choices.canvasHeight * scale)));
    }
    cv::Mat shown = colour;
    // The preview has no photo to refine from: its edges are cleaned as refine cleans them.
    if (choices.edges != OutputChoices::Edges::Source) {
        shown = colour.clone();
        edgecleaner::clean(shown, alpha);
    }
    preview->setPixmap(pixmapOf(fitted(variant::render(shown, alpha, choices))));
}

void OutputOptionsDialog::setUploadSize(UploadSize size)
{
    sizeBox->setCurrentIndex(sizeBox->findData(int(size)));
}

UploadSize OutputOptionsDialog::uploadSize() const
{
    return UploadSize(sizeBox->currentData().toInt());
}
