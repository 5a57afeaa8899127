#pragma once

#include "outputchoices.h"

#include <QDialog>
#include <QString>

#include <opencv2/core.hpp>

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

// Every output choice of a batch, with a preview of what they make of one photo's master.
class OutputOptionsDialog : public QDialog
{
    Q_OBJECT

public:
    // `master`: the full-size cut-out the preview is made from; nothing is previewed when
    // there is none yet.
    OutputOptionsDialog(const OutputChoices &choices, const QString &master, QWidget *parent = nullptr);

    OutputChoices choices() const;
    void accept() override;

private:
    void showChoices(const OutputChoices &choices);
    // Why the controls as they stand give no choices; empty when they do.
    QString problem() const;
    void pickColour();
    void refresh();
    void showPreview(OutputChoices choices);

    QComboBox *backgroundBox;
    QLineEdit *colourEdit;
    QPushButton *pickButton;
    QComboBox *formatBox;
    QSpinBox *qualityBox;
    QCheckBox *cropBox;
    QDoubleSpinBox *marginBox;
    QComboBox *canvasBox;
    QSpinBox *widthBox;
    QSpinBox *heightBox;
    QCheckBox *maskBox;
    QComboBox *pngBox;
    QCheckBox *edgesBox;
    QLabel *problemLabel;
    QLabel *preview;
    QDialogButtonBox *buttons;
    // The master, small enough to render at every change.
    cv::Mat colour, alpha;
};
