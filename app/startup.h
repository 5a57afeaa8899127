#pragma once

#include <QStringList>

class QCoreApplication;

// Qt's texts and the program's own in the user's language, loaded before the window opens or
// a batch starts.
namespace startup {

// Loads Qt's translations for the system's language, so that the file dialogs and the
// network layer's error texts speak it. Returns whether any was loaded.
bool installQtTranslations(QCoreApplication &application);

// Loads Quorrin's own translation for the first of the interface languages (as the system
// lists them) when one ships with the program; otherwise its texts stay in Chinese, the
// language they are written in. Returns whether one was loaded.
bool installOwnTranslation(QCoreApplication &application, const QStringList &uiLanguages);

// Both, for the system's languages: the program's texts and Qt's own agree.
void installTranslations(QCoreApplication &application);

} // namespace startup
