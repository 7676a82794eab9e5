// The windows in the user's language: under LANG=en_US.UTF-8 the program's translation makes
// the main window, its menus, the wizard and the about box English, with every caption fitting
// the place the skin gives it.
#include "app/main_window.h"
#include "app/morlanex_app.h"
#include "app/translation.h"
#include "dialogs/about_box.h"
#include "dialogs/setup_wizard.h"
#include "dialogs/start_hint.h"
#include "app_fixture.h"

#include <QAction>
#include <QLabel>
#include <QPixmap>
#include <QToolButton>
#include <QTranslator>
#include <gtest/gtest.h>

using namespace morlanex;
using namespace morlanex::testing;

namespace {

bool hasHan(const QString &text) {
    for (QChar c : text)
        if (c.script() == QChar::Script_Han) return true;
    return false;
}

class EnglishWindowTest : public AppFixture {
protected:
    void SetUp() override {
        for (const char *name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"}) qunsetenv(name);
        qputenv("LANG", "en_US.UTF-8");
        ASSERT_TRUE(installTranslation(*QCoreApplication::instance(), languageFromEnvironment()));
        openApp();
    }
    void TearDown() override {
        AppFixture::TearDown();
        for (QTranslator *t : QCoreApplication::instance()->findChildren<QTranslator *>()) {
            QCoreApplication::removeTranslator(t);
            delete t;
        }
    }
    // Every text a window shows is English and fits its place: a label without word wrap as
    // wide as its text needs, a button as wide as its caption.
    void expectEnglishAndUnclipped(QWidget *window) {
        for (QLabel *l : window->findChildren<QLabel *>()) {
            if (l->text().trimmed().isEmpty()) continue;
            EXPECT_FALSE(hasHan(l->text())) << l->objectName().toStdString() << ": " << l->text().toStdString();
            if (!l->wordWrap() && l->isVisibleTo(window) && l->parentWidget()->layout() == nullptr) {
                EXPECT_LE(l->fontMetrics().horizontalAdvance(l->text()), l->contentsRect().width())
                    << "clipped: " << l->text().toStdString();
            }
        }
        for (QToolButton *b : window->findChildren<QToolButton *>()) {
            EXPECT_FALSE(hasHan(b->text())) << b->text().toStdString();
            if (!b->text().isEmpty() && b->isVisibleTo(window) && b->toolButtonStyle() != Qt::ToolButtonIconOnly) {
                EXPECT_LE(b->fontMetrics().horizontalAdvance(b->text()), b->width())
                    << "clipped: " << b->text().toStdString();
            }
        }
        EXPECT_FALSE(hasHan(window->windowTitle()));
    }
};

TEST_F(EnglishWindowTest, TheWindowsSpeakEnglishUnderAnEnglishLocale) {
    EXPECT_EQ(label("channelNameCaption")->text(), QStringLiteral("Channel"));
    EXPECT_EQ(label("statusCaption")->text(), QStringLiteral("Now:"));
    enterPreview();
    EXPECT_EQ(label("modeLabel")->text(), QStringLiteral("Preview"));
    expectEnglishAndUnclipped(form);
    for (QAction *a : form->findChildren<QAction *>()) EXPECT_FALSE(hasHan(a->text())) << a->text().toStdString();

    SetupWizard *wizard = app->wizard;
    EXPECT_EQ(wizard->windowTitle(), QStringLiteral("Quick setup wizard"));
    for (QWidget *page : {wizard->modePage, wizard->videoPage, wizard->audioPage, wizard->channelPage,
                          wizard->compressionPage, wizard->donePage}) {
        page->show();
        expectEnglishAndUnclipped(page);
    }
    AboutBox *about = app->aboutBox;
    ASSERT_NE(about, nullptr);
    expectEnglishAndUnclipped(about);
    expectEnglishAndUnclipped(app->startHint.get());
    // The pictures with words in them come in English too, and load.
    const std::pair<const char *, const char *> pictures[] = {{"MainWindow", ":/skin/placeholder.png"},
                                                              {"AboutBox", ":/skin/banner.png"},
                                                              {"SetupWizard", ":/skin/wizard_strip.png"}};
    for (const auto &[context, picture] : pictures) {
        const QString english = QCoreApplication::translate(context, picture);
        EXPECT_TRUE(english.startsWith(QStringLiteral(":/skin_en/"))) << english.toStdString();
        EXPECT_FALSE(QPixmap(english).isNull()) << english.toStdString();
    }
}

}  // namespace
