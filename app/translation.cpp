#include "app/translation.h"

#include <QCoreApplication>
#include <QString>
#include <QTranslator>

bool installTranslation(QCoreApplication &app, morlanex::UiLanguage language) {
    QString name;
    switch (language) {
    case morlanex::UiLanguage::TraditionalChinese:
        return true;
    case morlanex::UiLanguage::English:
        name = QStringLiteral(":/i18n/morlanex_en.qm");
        break;
    case morlanex::UiLanguage::SimplifiedChinese:
        name = QStringLiteral(":/i18n/morlanex_zh_CN.qm");
        break;
    }
    auto *translator = new QTranslator(&app);
    if (!translator->load(name)) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}
