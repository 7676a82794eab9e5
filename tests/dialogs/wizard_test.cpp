// The quick-setup wizard as a user walks it: pages and their transitions, the enabling rules,
// the file "完成" writes, reuse of the last settings, cancelling, and the busy tests. The device
// lists may be empty on a test machine; where a page needs entries the test puts them there.
#include "dialog_fixture.h"

using morlanex::BroadcastState;

#include <QComboBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QScreen>
#include <QToolButton>
#include <QUrl>

// Takes the addresses the desktop would open, so no browser starts.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};

namespace {

// CP950 bytes of the texts the tests type.
const QByteArray kChannelCp950("\xc0\x57\xb9\x44", 4);  // "頻道"
const QByteArray kSelfieCp950("\xa6\xdb\xa9\xe7", 4);  // "自拍"

QFrame *visiblePage(SetupWizard *w) {
    std::vector<QFrame *> shown;
    for (QFrame *p : {w->modePage, w->videoPage, w->audioPage, w->channelPage, w->compressionPage, w->donePage})
        if (p->isVisible()) shown.push_back(p);
    EXPECT_LE(shown.size(), 1u) << "two pages show at once";
    return shown.empty() ? nullptr : shown.front();
}

void click(QToolButton *b) { QTest::mouseClick(b, Qt::LeftButton); }

// Types text key by key; characters without a key of their own arrive as input text.
void type(QLineEdit *e, const QString &text) {
    for (QChar ch : text) {
        if (ch.unicode() < 128)
            QTest::keyClick(e, ch.toLatin1());
        else
            QTest::sendKeyEvent(QTest::Click, e, Qt::Key_unknown, QString(ch), Qt::NoModifier);
    }
}

void retype(QLineEdit *e, const QString &text) {
    e->selectAll();
    QTest::keyClick(e, Qt::Key_Backspace);
    type(e, text);
}

// Puts entries into a device list, as the media side would, with the first one current.
void offer(QComboBox *c, const QStringList &entries) {
    c->clear();
    c->addItems(entries);
    c->setCurrentIndex(0);
    c->setEnabled(true);
}

// Chooses the next entry with the keyboard, as a user does.
void chooseNext(QComboBox *c) { QTest::keyClick(c, Qt::Key_Down); }

class Wizard : public DialogTest {
protected:
    // From the mode page to the audio page, with the second of two cameras chosen.
    void walkToAudioPage(SetupWizard *w) {
        click(w->newSetupButton);
        ASSERT_EQ(visiblePage(w), w->videoPage);
        offer(w->videoDeviceList, {QStringLiteral("Camera A"), QStringLiteral("Camera B")});
        chooseNext(w->videoDeviceList);
        ASSERT_TRUE(w->videoNextButton->isEnabled());
        click(w->videoNextButton);
        ASSERT_EQ(visiblePage(w), w->audioPage);
    }

    // On to the channel page, with the recording line of pin 3 chosen.
    void walkToChannelPage(SetupWizard *w) {
        walkToAudioPage(w);
        offer(w->recordingLineList, {QStringLiteral("Line 0"), QStringLiteral("Line 3")});
        offer(w->recordingPinList, {QStringLiteral("0"), QStringLiteral("3")});
        chooseNext(w->recordingLineList);
        click(w->audioNextButton);
        ASSERT_EQ(visiblePage(w), w->channelPage);
    }
};

TEST_F(Wizard, ShowingStartsOnTheModePageAndLoadsTheFile) {
    writeSettingsBytes("  " + kChannelCp950 + " \r\nabout\r\n0\r\n0\r\n-1\r\n1\r\n" + kSelfieCp950 + " x\r\n");
    form->channelSetup().setKeywords(QStringLiteral("stale"));
    form->move(form->pos() + QPoint(150, 40));
    runWizard([&](SetupWizard *w) {
        EXPECT_EQ(w->size(), QSize(492, 426));
        const QRect screen = form->screen()->availableGeometry();
        EXPECT_EQ(w->pos(), screen.center() - w->rect().center()) << "centred on the screen";
        EXPECT_EQ(w->windowTitle(), QStringLiteral("快速設定精靈"));
        EXPECT_EQ(visiblePage(w), w->modePage);
        EXPECT_FALSE(w->chooseModeAgainButton->isVisible());
        EXPECT_FALSE(w->channelNextButton->isEnabled());
        EXPECT_TRUE(w->cancelButton->isVisible());
        // The fields hold the lines as stored, untrimmed; the keywords also go to the main window.
        EXPECT_EQ(w->channelNameEdit->text(), QStringLiteral("  頻道 "));
        EXPECT_EQ(w->channelDescriptionEdit->text(), QStringLiteral("about"));
        EXPECT_EQ(w->keywordsEdit->text(), QStringLiteral("自拍 x"));
        EXPECT_EQ(form->channelSetup().setup().keywords, QStringLiteral("自拍 x"));
        EXPECT_TRUE(w->useLastButton->isEnabled());
        EXPECT_EQ(app->settings->record()[morlanex::SettingsRecord::CompressionLevel], "1");
    });
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join(u'|').toStdString();
}

TEST_F(Wizard, ReuseNeedsANameAndADescription) {
    const QByteArray files[] = {
        QByteArray("\r\nabout\r\n0\r\n0\r\n0\r\n0\r\n\r\n"),  // first line blank
        QByteArray("name\r\n  \t\r\n0\r\n0\r\n0\r\n0\r\n\r\n"),  // second line only blanks
        QByteArray("name\r\n"),  // short file
        QByteArray(),  // empty file
    };
    for (const QByteArray &bytes : files) {
        writeSettingsBytes(bytes);
        runWizard([&](SetupWizard *w) {
            EXPECT_FALSE(w->useLastButton->isEnabled()) << bytes.toStdString();
            EXPECT_EQ(visiblePage(w), w->modePage);
        });
    }
    QFile::remove(settingsPath());
    runWizard([&](SetupWizard *w) {
        EXPECT_FALSE(w->useLastButton->isEnabled()) << "a missing file reads as empty";
        EXPECT_TRUE(w->channelNameEdit->text().isEmpty());
    });
}

TEST_F(Wizard, PagesFollowOneAnotherAndBackToTheStart) {
    runWizard([&](SetupWizard *w) {
        click(w->newSetupButton);
        EXPECT_EQ(visiblePage(w), w->videoPage);
        EXPECT_TRUE(w->chooseModeAgainButton->isVisible());
        // Whatever the machine offers, "next" is open exactly when a camera is listed.
        ASSERT_GT(w->videoDeviceList->count(), 0);
        EXPECT_EQ(w->videoNextButton->isEnabled(), w->videoDeviceList->currentText() != SetupWizard::kNoVideoDevice);

        click(w->chooseModeAgainButton);
        EXPECT_EQ(visiblePage(w), w->modePage);
        EXPECT_FALSE(w->chooseModeAgainButton->isVisible());

        walkToChannelPage(w);
        EXPECT_TRUE(w->chooseModeAgainButton->isVisible());
        retype(w->channelNameEdit, QStringLiteral("name"));
        retype(w->channelDescriptionEdit, QStringLiteral("about"));
        click(w->channelNextButton);
        EXPECT_EQ(visiblePage(w), w->compressionPage);
        click(w->compressionNextButton);
        EXPECT_EQ(visiblePage(w), w->donePage);
        EXPECT_EQ(w->portalLink->text(), QString::fromStdString(form->config().portalUrl));
        click(w->chooseModeAgainButton);
        EXPECT_EQ(visiblePage(w), w->modePage);
        EXPECT_TRUE(w->isVisible());
    });
}

TEST_F(Wizard, VideoPageOpensNextOnlyForARealCamera) {
    runWizard([&](SetupWizard *w) {
        click(w->newSetupButton);
        offer(w->videoDeviceList, {SetupWizard::kNoVideoDevice});
        emit w->videoDeviceList->activated(0);
        EXPECT_EQ(w->choices().devices.camera, 0);
        EXPECT_FALSE(w->videoNextButton->isEnabled());
        click(w->videoNextButton);
        EXPECT_EQ(visiblePage(w), w->videoPage) << "a disabled next does not lead on";

        offer(w->videoDeviceList, {QStringLiteral("Camera A"), QStringLiteral("Camera B"), QStringLiteral("Camera C")});
        chooseNext(w->videoDeviceList);
        chooseNext(w->videoDeviceList);
        EXPECT_EQ(w->choices().devices.camera, 2);
        EXPECT_TRUE(w->videoNextButton->isEnabled());

        // Searching again lists what the machine has and decides "next" the same way.
        click(w->searchAgainButton);
        EXPECT_EQ(w->videoNextButton->isEnabled(), w->videoDeviceList->currentText() != SetupWizard::kNoVideoDevice);
    });
}

TEST_F(Wizard, AudioPageListsAnotherDeviceAndTakesThePinOfTheChosenLine) {
    runWizard([&](SetupWizard *w) {
        walkToAudioPage(w);

        offer(w->audioDeviceList, {QStringLiteral("Mic A"), QStringLiteral("Mic B")});
        w->audioDeviceList->setCurrentIndex(1);
        QTest::keyClick(w->audioDeviceList, Qt::Key_Up);
        EXPECT_EQ(w->choices().devices.microphone, 0) << "another device is chosen";
        EXPECT_EQ(visiblePage(w), w->audioPage);

        offer(w->recordingLineList, {QStringLiteral("Line 0"), QStringLiteral("Line 5"), QStringLiteral("Line 7")});
        offer(w->recordingPinList, {QStringLiteral("0"), QStringLiteral("5"), QStringLiteral("7")});
        chooseNext(w->recordingLineList);
        EXPECT_EQ(w->choices().devices.recordingLine, 5);
        chooseNext(w->recordingLineList);
        EXPECT_EQ(w->choices().devices.recordingLine, 7);
        click(w->audioNextButton);
        EXPECT_EQ(visiblePage(w), w->channelPage);
    });
}

TEST_F(Wizard, ChannelPageNeedsANameAndADescription) {
    writeSettingsBytes("stored name\r\n\r\n0\r\n0\r\n0\r\n0\r\n\r\n");
    runWizard([&](SetupWizard *w) {
        walkToChannelPage(w);
        EXPECT_EQ(w->channelNameEdit->text(), QStringLiteral("stored name"));
        EXPECT_FALSE(w->channelNextButton->isEnabled()) << "no description yet";
        type(w->channelDescriptionEdit, QStringLiteral("   "));
        EXPECT_FALSE(w->channelNextButton->isEnabled()) << "blanks are no description";
        type(w->channelDescriptionEdit, QStringLiteral("頻道"));
        EXPECT_TRUE(w->channelNextButton->isEnabled());
        retype(w->channelNameEdit, QString());
        EXPECT_FALSE(w->channelNextButton->isEnabled()) << "deleting the name closes it again";
        type(w->channelNameEdit, QStringLiteral("n"));
        EXPECT_TRUE(w->channelNextButton->isEnabled());
        // Enter is no shortcut to the next page.
        QTest::keyClick(w->channelNameEdit, Qt::Key_Return);
        EXPECT_EQ(visiblePage(w), w->channelPage);
        EXPECT_TRUE(w->isVisible());
    });
}

TEST_F(Wizard, FinishWritesTheFileAndShowsTheTrimmedCaptions) {
    runWizard([&](SetupWizard *w) {
        walkToChannelPage(w);
        retype(w->channelNameEdit, QStringLiteral("  頻道\t"));
        retype(w->channelDescriptionEdit, QStringLiteral(" about me "));
        retype(w->keywordsEdit, QStringLiteral(" 自拍 x  "));
        click(w->channelNextButton);
        QTest::mouseClick(w->levelMediumButton, Qt::LeftButton, {}, QPoint(6, w->levelMediumButton->height() / 2));
        EXPECT_TRUE(w->levelMediumButton->isChecked());
        EXPECT_FALSE(w->levelAutomaticButton->isChecked()) << "the two groups are one choice";
        EXPECT_EQ(w->choices().compressionLevel, 2) << "a click sets the level at once";
        click(w->compressionNextButton);
        click(w->finishButton);
        EXPECT_FALSE(w->isVisible());
    });
    EXPECT_EQ(wizard->result(), QDialog::Accepted);
    EXPECT_EQ(settingsBytes(), kChannelCp950 + "\r\nabout me\r\n1\r\n0\r\n3\r\n2\r\n" + kSelfieCp950 + " x\r\n");
    EXPECT_EQ(label("channelNameLabel")->text(), QStringLiteral("頻道"));
    EXPECT_EQ(label("channelNameLabel")->toolTip(), QStringLiteral("頻道"));
    EXPECT_EQ(label("channelDescriptionLabel")->text(), QStringLiteral("about me"));
    EXPECT_EQ(label("channelDescriptionLabel")->toolTip(), QStringLiteral("about me"));
    EXPECT_EQ(form->channelSetup().setup().keywords, QStringLiteral("自拍 x"));

    // The next opening offers what was just stored.
    runWizard([&](SetupWizard *w) {
        EXPECT_TRUE(w->useLastButton->isEnabled());
        EXPECT_EQ(w->channelNameEdit->text(), QStringLiteral("頻道"));
        EXPECT_EQ(w->keywordsEdit->text(), QStringLiteral("自拍 x"));
    });
}

TEST_F(Wizard, FinishWithoutChoosingALineStoresThePinTheListingGave) {
    int listedPin = -2;
    runWizard([&](SetupWizard *w) {
        walkToAudioPage(w);
        // Whatever the machine has, no line is chosen by hand.
        w->recordingLineList->clear();
        w->recordingPinList->clear();
        listedPin = w->choices().devices.recordingLine;
        click(w->audioNextButton);
        retype(w->channelNameEdit, QStringLiteral("n"));
        retype(w->channelDescriptionEdit, QStringLiteral("d"));
        click(w->channelNextButton);
        click(w->compressionNextButton);
        click(w->finishButton);
    });
    const QList<QByteArray> lines = settingsBytes().split('\n');
    ASSERT_EQ(lines.size(), 8);
    EXPECT_EQ(lines[4], QByteArray::number(listedPin) + "\r");
    EXPECT_EQ(lines[5], QByteArray::number(form->channelSetup().setup().compressionLevel) + "\r")
        << "untouched radio buttons store the working level";
}

TEST_F(Wizard, ReuseStartsFromTheStoredRecordAndWritesNothing) {
    const QByteArray stored = "name\r\nabout\r\n0\r\n0\r\n-1\r\n3\r\nkw\r\n";
    writeSettingsBytes(stored);
    const int result = runWizard([&](SetupWizard *w) {
        click(w->useLastButton);
        EXPECT_FALSE(w->isVisible());
    });
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_EQ(settingsBytes(), stored);
    EXPECT_EQ(app->settings->record(), morlanex::parseSettings(stored.toStdString()));
}

TEST_F(Wizard, LastSettingsWithoutACameraSaySoAndStartNothing) {
    // This machine offers no capture device to these tests.
    writeSettingsBytes("name\r\nabout\r\n0\r\n0\r\n0\r\n0\r\n\r\n");
    runWizard([&](SetupWizard *w) { click(w->useLastButton); });
    EXPECT_EQ(boxes, QStringList{QStringLiteral("您未安裝任何視訊擷取裝置!")});
    EXPECT_FALSE(form->previewActive());
    EXPECT_FALSE(child(form, "modeBadge")->isVisible());
}

TEST_F(Wizard, CancelWritesNothingAndHandsNothingOver) {
    const QByteArray stored = "name\r\nabout\r\n0\r\n0\r\n-1\r\n0\r\n\r\n";
    writeSettingsBytes(stored);
    form->channelSetup().setTexts(QStringLiteral("shown"), QStringLiteral("desc"));
    const int result = runWizard([&](SetupWizard *w) {
        walkToChannelPage(w);
        retype(w->channelNameEdit, QStringLiteral("other"));
        click(w->channelNextButton);
        QTest::mouseClick(w->levelLowButton, Qt::LeftButton, {}, QPoint(6, w->levelLowButton->height() / 2));
        click(w->cancelButton);
    });
    EXPECT_EQ(result, QDialog::Rejected);
    EXPECT_EQ(settingsBytes(), stored);
    EXPECT_EQ(label("channelNameLabel")->text(), QStringLiteral("shown"));
    EXPECT_EQ(form->channelSetup().setup().compressionLevel, 0) << "the choices go to the window only with 完成";

    // The radio buttons keep the last click; the stored level does not set them.
    runWizard([&](SetupWizard *w) {
        EXPECT_TRUE(w->levelLowButton->isChecked());
        EXPECT_FALSE(w->levelAutomaticButton->isChecked());
    });
}

TEST_F(Wizard, OpeningWhileLiveStopsTheBroadcastAndWaitsForIt) {
    reopenWithDirectory("127.0.0.147");
    writeSettingsBytes("name\r\nabout\r\n0\r\n0\r\n0\r\n0\r\n\r\n");
    goLive();
    runWizard([&](SetupWizard *w) {
        // The wizard pressed the close-device button: the stop sequence runs, nothing was asked.
        EXPECT_EQ(session().state(), BroadcastState::Stopping);
        EXPECT_TRUE(boxes.isEmpty()) << boxes.join(u'|').toStdString();

        click(w->useLastButton);
        EXPECT_TRUE(w->isVisible()) << "reuse waits while busy";
        click(w->newSetupButton);
        EXPECT_EQ(visiblePage(w), w->modePage) << "a new setup waits while busy";

        // The stop ends with the device closed.
        ticks.advanceSeconds(3);
        EXPECT_EQ(session().state(), BroadcastState::Idle);
        click(w->newSetupButton);
        EXPECT_EQ(visiblePage(w), w->videoPage);
        enterPreview();
        ASSERT_TRUE(session().startBroadcast());
        click(w->chooseModeAgainButton);
        EXPECT_EQ(visiblePage(w), w->videoPage) << "back to the start waits while busy";
        ticks.advanceSeconds(12);
        click(w->chooseModeAgainButton);
        EXPECT_EQ(visiblePage(w), w->modePage);
    });
}

TEST_F(Wizard, PortalLinkOpensThePortal) {
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
    runWizard([&](SetupWizard *w) {
        walkToChannelPage(w);
        retype(w->channelNameEdit, QStringLiteral("n"));
        retype(w->channelDescriptionEdit, QStringLiteral("d"));
        click(w->channelNextButton);
        click(w->compressionNextButton);
        EXPECT_EQ(w->portalLink->cursor().shape(), Qt::PointingHandCursor);
        EXPECT_TRUE(w->portalLink->font().underline());
        QTest::mouseClick(w->portalLink, Qt::LeftButton);
    });
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    ASSERT_EQ(catcher.opened.size(), 1);
    EXPECT_EQ(catcher.opened.front(), QUrl(QString::fromStdString(form->config().portalUrl)));
}

}  // namespace

#include "wizard_test.moc"
