// Public header. The windows' texts in the user's language: Traditional Chinese is the source
// text; English and Simplified Chinese come from Qt Linguist translations compiled into the
// program (resources/translations/, as :/i18n/morlanex_<language>.qm). The skin's pictures with
// words in them are translated too: their paths, to resources/skin_<language>/.
//
// Threads: UI thread, before the first window is made.
//
// Example:
//   QApplication app(argc, argv);
//   installTranslation(app, morlanex::languageFromEnvironment());
#pragma once

#include "common/language_choice.h"

class QCoreApplication;

// Installs the translation into `language` on `app` (nothing for Traditional Chinese); false
// when it is missing, and the windows then keep the source texts.
bool installTranslation(QCoreApplication &app, morlanex::UiLanguage language);
