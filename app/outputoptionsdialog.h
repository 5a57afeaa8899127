#pragma once

#include "outputchoices.h"
#include "removebgconn.h"

#include <QDialog>
#include <QString>
#include <QVector>

#include <opencv2/core.hpp>

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

// A photo of the batch, and the full-size cut-out its preview is made from.
struct PreviewPhoto
{
    QString photo;
    QString master;
};

// Every output choice of a batch, with a preview of what they make of one photo's master;
// the user steps through the batch's photos, and those whose master shows no subject are
// passed over.
class OutputOptionsDialog : public QDialog
{
    Q_OBJECT

public:
    // Nothing is previewed when no photo has a master with a subject yet.
    explicit OutputOptionsDialog(const OutputChoices &choices, const QVector<PreviewPhoto> &photos = {},
                                 QWidget *parent = nullptr);

    OutputChoices choices() const;
    void accept() override;
    // The size asked of the service: a setting of the run, kept apart from the output choices.
    void setUploadSize(UploadSize size);
    UploadSize uploadSize() const;

private:
    void showChoices(const OutputChoices &choices);
    // Why the controls as they stand give no choices; empty when they do.
    QString problem() const;
    void pickColour();
    void refresh();
    void showPreview(OutputChoices choices);
    // Shows the next photo with a subject in that direction (1 or -1), coming round at the ends.
    void step(int direction);
    // Reads the photo's master into `colour` and `alpha` when it shows a subject.
    bool load(int index);

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
    QComboBox *edgesBox;
    QCheckBox *keepHiddenBox;
    QComboBox *sizeBox;
    QLabel *problemLabel;
    QLabel *preview;
    QLabel *photoLabel;
    QPushButton *previousButton;
    QPushButton *nextButton;
    QVector<PreviewPhoto> photos;
    int current = -1; // the photo shown; -1: none
    QDialogButtonBox *buttons;
    // The master, small enough to render at every change.
    cv::Mat colour, alpha;
    // A preset chooses the background, the format and the frame; the other controls stay.
    QComboBox *presetBox;
    QLabel *presetRules;
    QCheckBox *srgbBox;
    int fullSubjectSide = 0; // the shown photo's subject, at full size
};
