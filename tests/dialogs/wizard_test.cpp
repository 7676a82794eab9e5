// The quick-setup wizard as a user walks it: pages and their transitions, the enabling rules,
// the file "完成" writes, reuse of the last settings, cancelling, and the busy tests. The device
// lists may be empty on a test machine; where a page needs entries the test puts them there.
#include "dialog_fixture.h"

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
const QByteArray kChannelCp950("\xc0\x57\xb9\x44", 4);          // "頻道"
const QByteArray kSelfieCp950("\xa6\xdb\xa9\xe7", 4);           // "自拍"

QFrame *visiblePage(TForm2 *w)
{
    QFrame *shown = nullptr;
    for (QFrame *p : {w->Panel1, w->Panel2, w->Panel3, w->Panel4, w->Panel5, w->Panel6}) {
        if (p->isVisible()) {
            EXPECT_EQ(shown, nullptr) << "two pages show at once";
            shown = p;
        }
    }
    return shown;
}

void click(QToolButton *b) { QTest::mouseClick(b, Qt::LeftButton); }

// Types text key by key; characters without a key of their own arrive as input text.
void type(QLineEdit *e, const QString &text)
{
    for (QChar ch : text) {
        if (ch.unicode() < 128)
            QTest::keyClick(e, ch.toLatin1());
        else
            QTest::sendKeyEvent(QTest::Click, e, Qt::Key_unknown, QString(ch), Qt::NoModifier);
    }
}

void retype(QLineEdit *e, const QString &text)
{
    e->selectAll();
    QTest::keyClick(e, Qt::Key_Backspace);
    type(e, text);
}

// Puts entries into a device list, as the media side would, with the first one current.
void offer(QComboBox *c, const QStringList &entries)
{
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
    void walkToAudioPage(TForm2 *w)
    {
        click(w->SpeedButton2);
        ASSERT_EQ(visiblePage(w), w->Panel2);
        offer(w->ComboBox1, {QStringLiteral("Camera A"), QStringLiteral("Camera B")});
        chooseNext(w->ComboBox1);
        ASSERT_TRUE(w->SpeedButton7->isEnabled());
        click(w->SpeedButton7);
        ASSERT_EQ(visiblePage(w), w->Panel3);
    }

    // On to the channel page, with the recording line of pin 3 chosen.
    void walkToChannelPage(TForm2 *w)
    {
        walkToAudioPage(w);
        offer(w->ComboBox3, {QStringLiteral("Line 0"), QStringLiteral("Line 3")});
        offer(w->ComboBox4, {QStringLiteral("0"), QStringLiteral("3")});
        chooseNext(w->ComboBox3);
        click(w->SpeedButton1);
        ASSERT_EQ(visiblePage(w), w->Panel4);
    }
};

TEST_F(Wizard, ShowingStartsOnTheModePageAndLoadsTheFile)
{
    writeSettingsBytes("  " + kChannelCp950 + " \r\nabout\r\n0\r\n0\r\n-1\r\n1\r\n" + kSelfieCp950 + " x\r\n");
    form->Keywords = QStringLiteral("stale");
    form->move(form->pos() + QPoint(150, 40));
    runWizard([&](TForm2 *w) {
        EXPECT_EQ(w->size(), QSize(492, 426));
        const QRect screen = form->screen()->availableGeometry();
        EXPECT_EQ(w->pos(), screen.center() - w->rect().center()) << "centred on the screen";
        EXPECT_EQ(w->windowTitle(), QStringLiteral("快速設定精靈"));
        EXPECT_EQ(visiblePage(w), w->Panel1);
        EXPECT_FALSE(w->SpeedButton4->isVisible());
        EXPECT_FALSE(w->SpeedButton8->isEnabled());
        EXPECT_TRUE(w->SpeedButton5->isVisible());
        // The fields hold the lines as stored, untrimmed; the keywords also go to the main window.
        EXPECT_EQ(w->Edit1->text(), QStringLiteral("  頻道 "));
        EXPECT_EQ(w->Edit2->text(), QStringLiteral("about"));
        EXPECT_EQ(w->Edit3->text(), QStringLiteral("自拍 x"));
        EXPECT_EQ(form->Keywords, QStringLiteral("自拍 x"));
        EXPECT_TRUE(w->SpeedButton3->isEnabled());
        EXPECT_EQ(w->SettingsRecord[morlanex::SettingsRecord::CompressionLevel], "1");
    });
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join(u'|').toStdString();
}

TEST_F(Wizard, ReuseNeedsANameAndADescription)
{
    const QByteArray files[] = {
        QByteArray("\r\nabout\r\n0\r\n0\r\n0\r\n0\r\n\r\n"),      // first line blank
        QByteArray("name\r\n  \t\r\n0\r\n0\r\n0\r\n0\r\n\r\n"),   // second line only blanks
        QByteArray("name\r\n"),                                  // short file
        QByteArray(),                                            // empty file
    };
    for (const QByteArray &bytes : files) {
        writeSettingsBytes(bytes);
        runWizard([&](TForm2 *w) {
            EXPECT_FALSE(w->SpeedButton3->isEnabled()) << bytes.toStdString();
            EXPECT_EQ(visiblePage(w), w->Panel1);
        });
    }
    QFile::remove(settingsPath());
    runWizard([&](TForm2 *w) {
        EXPECT_FALSE(w->SpeedButton3->isEnabled()) << "a missing file reads as empty";
        EXPECT_TRUE(w->Edit1->text().isEmpty());
    });
}

TEST_F(Wizard, PagesFollowOneAnotherAndBackToTheStart)
{
    runWizard([&](TForm2 *w) {
        click(w->SpeedButton2);
        EXPECT_EQ(visiblePage(w), w->Panel2);
        EXPECT_TRUE(w->SpeedButton4->isVisible());
        // Whatever the machine offers, "next" is open exactly when a camera is listed.
        ASSERT_GT(w->ComboBox1->count(), 0);
        EXPECT_EQ(w->SpeedButton7->isEnabled(), w->ComboBox1->currentText() != TForm2::kNoVideoDevice);

        click(w->SpeedButton4);
        EXPECT_EQ(visiblePage(w), w->Panel1);
        EXPECT_FALSE(w->SpeedButton4->isVisible());

        walkToChannelPage(w);
        EXPECT_TRUE(w->SpeedButton4->isVisible());
        retype(w->Edit1, QStringLiteral("name"));
        retype(w->Edit2, QStringLiteral("about"));
        click(w->SpeedButton8);
        EXPECT_EQ(visiblePage(w), w->Panel5);
        click(w->SpeedButton9);
        EXPECT_EQ(visiblePage(w), w->Panel6);
        EXPECT_EQ(w->Label16->text(), QString::fromStdString(form->config().portalUrl));
        click(w->SpeedButton4);
        EXPECT_EQ(visiblePage(w), w->Panel1);
        EXPECT_TRUE(w->isVisible());
    });
}

TEST_F(Wizard, VideoPageOpensNextOnlyForARealCamera)
{
    runWizard([&](TForm2 *w) {
        click(w->SpeedButton2);
        offer(w->ComboBox1, {TForm2::kNoVideoDevice});
        emit w->ComboBox1->activated(0);
        EXPECT_EQ(form->VideoDeviceIndex, 0);
        EXPECT_FALSE(w->SpeedButton7->isEnabled());
        click(w->SpeedButton7);
        EXPECT_EQ(visiblePage(w), w->Panel2) << "a disabled next does not lead on";

        offer(w->ComboBox1, {QStringLiteral("Camera A"), QStringLiteral("Camera B"), QStringLiteral("Camera C")});
        chooseNext(w->ComboBox1);
        chooseNext(w->ComboBox1);
        EXPECT_EQ(form->VideoDeviceIndex, 2);
        EXPECT_TRUE(w->SpeedButton7->isEnabled());

        // Searching again lists what the machine has and decides "next" the same way.
        click(w->SpeedButton6);
        EXPECT_EQ(w->SpeedButton7->isEnabled(), w->ComboBox1->currentText() != TForm2::kNoVideoDevice);
    });
}

TEST_F(Wizard, AudioPageListsAnotherDeviceAndTakesThePinOfTheChosenLine)
{
    runWizard([&](TForm2 *w) {
        walkToAudioPage(w);

        offer(w->ComboBox2, {QStringLiteral("Mic A"), QStringLiteral("Mic B")});
        w->ComboBox2->setCurrentIndex(1);
        form->ListedAudioDevice = QStringLiteral("Mic B");
        form->AudioDeviceIndex = 1;
        emit w->ComboBox2->activated(1); // the listed device chosen again
        EXPECT_EQ(form->AudioDeviceIndex, 1);
        EXPECT_EQ(form->ListedAudioDevice, QStringLiteral("Mic B"));
        QTest::keyClick(w->ComboBox2, Qt::Key_Up);
        EXPECT_EQ(form->AudioDeviceIndex, 0) << "another device is chosen";
        EXPECT_EQ(visiblePage(w), w->Panel3);

        offer(w->ComboBox3, {QStringLiteral("Line 0"), QStringLiteral("Line 5"), QStringLiteral("Line 7")});
        offer(w->ComboBox4, {QStringLiteral("0"), QStringLiteral("5"), QStringLiteral("7")});
        chooseNext(w->ComboBox3);
        EXPECT_EQ(form->AudioInputPin, 5);
        chooseNext(w->ComboBox3);
        EXPECT_EQ(form->AudioInputPin, 7);
        click(w->SpeedButton1);
        EXPECT_EQ(visiblePage(w), w->Panel4);
    });
}

TEST_F(Wizard, ChannelPageNeedsANameAndADescription)
{
    writeSettingsBytes("stored name\r\n\r\n0\r\n0\r\n0\r\n0\r\n\r\n");
    runWizard([&](TForm2 *w) {
        walkToChannelPage(w);
        EXPECT_EQ(w->Edit1->text(), QStringLiteral("stored name"));
        EXPECT_FALSE(w->SpeedButton8->isEnabled()) << "no description yet";
        type(w->Edit2, QStringLiteral("   "));
        EXPECT_FALSE(w->SpeedButton8->isEnabled()) << "blanks are no description";
        type(w->Edit2, QStringLiteral("頻道"));
        EXPECT_TRUE(w->SpeedButton8->isEnabled());
        retype(w->Edit1, QString());
        EXPECT_FALSE(w->SpeedButton8->isEnabled()) << "deleting the name closes it again";
        type(w->Edit1, QStringLiteral("n"));
        EXPECT_TRUE(w->SpeedButton8->isEnabled());
        // Enter is no shortcut to the next page.
        QTest::keyClick(w->Edit1, Qt::Key_Return);
        EXPECT_EQ(visiblePage(w), w->Panel4);
        EXPECT_TRUE(w->isVisible());
    });
}

TEST_F(Wizard, FinishWritesTheFileAndShowsTheTrimmedCaptions)
{
    form->AudioDeviceIndex = 0;
    runWizard([&](TForm2 *w) {
        walkToChannelPage(w);
        retype(w->Edit1, QStringLiteral("  頻道\t"));
        retype(w->Edit2, QStringLiteral(" about me "));
        retype(w->Edit3, QStringLiteral(" 自拍 x  "));
        click(w->SpeedButton8);
        QTest::mouseClick(w->RadioButton3, Qt::LeftButton, {}, QPoint(6, w->RadioButton3->height() / 2));
        EXPECT_TRUE(w->RadioButton3->isChecked());
        EXPECT_FALSE(w->RadioButton1->isChecked()) << "the two groups are one choice";
        EXPECT_EQ(form->CompressionLevel, 2) << "a click sets the level at once";
        click(w->SpeedButton9);
        click(w->SpeedButton11);
        EXPECT_FALSE(w->isVisible());
    });
    EXPECT_EQ(wizard->result(), QDialog::Accepted);
    EXPECT_EQ(settingsBytes(),
              kChannelCp950 + "\r\nabout me\r\n1\r\n0\r\n3\r\n2\r\n" + kSelfieCp950 + " x\r\n");
    EXPECT_EQ(form->Label4->text(), QStringLiteral("頻道"));
    EXPECT_EQ(form->Label4->toolTip(), QStringLiteral("頻道"));
    EXPECT_EQ(form->Label5->text(), QStringLiteral("about me"));
    EXPECT_EQ(form->Label5->toolTip(), QStringLiteral("about me"));
    EXPECT_EQ(form->Keywords, QStringLiteral("自拍 x"));

    // The next opening offers what was just stored.
    runWizard([&](TForm2 *w) {
        EXPECT_TRUE(w->SpeedButton3->isEnabled());
        EXPECT_EQ(w->Edit1->text(), QStringLiteral("頻道"));
        EXPECT_EQ(w->Edit3->text(), QStringLiteral("自拍 x"));
    });
}

TEST_F(Wizard, FinishWithoutARecordingLineStoresMinusOne)
{
    runWizard([&](TForm2 *w) {
        walkToAudioPage(w);
        // Whatever the machine has, a device without lines leaves the line list closed.
        w->ComboBox3->clear();
        w->ComboBox4->clear();
        form->AudioInputPin = -1;
        click(w->SpeedButton1);
        retype(w->Edit1, QStringLiteral("n"));
        retype(w->Edit2, QStringLiteral("d"));
        click(w->SpeedButton8);
        click(w->SpeedButton9);
        click(w->SpeedButton11);
    });
    const QList<QByteArray> lines = settingsBytes().split('\n');
    ASSERT_EQ(lines.size(), 8);
    EXPECT_EQ(lines[4], "-1\r");
    EXPECT_EQ(lines[5], QByteArray::number(form->CompressionLevel) + "\r")
        << "untouched radio buttons store the working level";
}

TEST_F(Wizard, ReuseStartsFromTheStoredRecordAndWritesNothing)
{
    const QByteArray stored = "name\r\nabout\r\n0\r\n0\r\n-1\r\n3\r\nkw\r\n";
    writeSettingsBytes(stored);
    const int result = runWizard([&](TForm2 *w) {
        click(w->SpeedButton3);
        EXPECT_FALSE(w->isVisible());
    });
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_EQ(settingsBytes(), stored);
    EXPECT_EQ(wizard->SettingsRecord, morlanex::parseSettings(stored.toStdString()));
}

TEST_F(Wizard, CancelWritesNothingButKeepsTheChoicesMade)
{
    const QByteArray stored = "name\r\nabout\r\n0\r\n0\r\n-1\r\n0\r\n\r\n";
    writeSettingsBytes(stored);
    form->Label4->setText(QStringLiteral("shown"));
    const int result = runWizard([&](TForm2 *w) {
        walkToChannelPage(w);
        retype(w->Edit1, QStringLiteral("other"));
        click(w->SpeedButton8);
        QTest::mouseClick(w->RadioButton4, Qt::LeftButton, {}, QPoint(6, w->RadioButton4->height() / 2));
        click(w->SpeedButton5);
    });
    EXPECT_EQ(result, QDialog::Rejected);
    EXPECT_EQ(settingsBytes(), stored);
    EXPECT_EQ(form->Label4->text(), QStringLiteral("shown"));
    EXPECT_EQ(form->CompressionLevel, 3);
    EXPECT_EQ(form->VideoDeviceIndex, 1);

    // The radio buttons keep the last click; the stored level does not set them.
    runWizard([&](TForm2 *w) {
        EXPECT_TRUE(w->RadioButton4->isChecked());
        EXPECT_FALSE(w->RadioButton1->isChecked());
    });
}

TEST_F(Wizard, OpeningWhileLiveStopsTheBroadcastAndWaitsForIt)
{
    writeSettingsBytes("name\r\nabout\r\n0\r\n0\r\n0\r\n0\r\n\r\n");
    form->PreviewActive = true;
    form->LiveActive = true;
    runWizard([&](TForm2 *w) {
        // The wizard pressed the close-device button: the stop sequence runs, nothing was asked.
        EXPECT_TRUE(form->Timer2->isActive());
        EXPECT_TRUE(form->CloseDeviceAfterStop);
        EXPECT_TRUE(boxes.isEmpty()) << boxes.join(u'|').toStdString();

        click(w->SpeedButton3);
        EXPECT_TRUE(w->isVisible()) << "reuse waits while busy";
        click(w->SpeedButton2);
        EXPECT_EQ(visiblePage(w), w->Panel1) << "a new setup waits while busy";

        form->Timer2->stop();
        click(w->SpeedButton2);
        EXPECT_EQ(visiblePage(w), w->Panel2);
        form->Timer1->start();
        click(w->SpeedButton4);
        EXPECT_EQ(visiblePage(w), w->Panel2) << "back to the start waits while busy";
        form->Timer1->stop();
        click(w->SpeedButton4);
        EXPECT_EQ(visiblePage(w), w->Panel1);
    });
}

TEST_F(Wizard, PortalLinkOpensThePortal)
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
    runWizard([&](TForm2 *w) {
        walkToChannelPage(w);
        retype(w->Edit1, QStringLiteral("n"));
        retype(w->Edit2, QStringLiteral("d"));
        click(w->SpeedButton8);
        click(w->SpeedButton9);
        EXPECT_EQ(w->Label16->cursor().shape(), Qt::PointingHandCursor);
        EXPECT_TRUE(w->Label16->font().underline());
        QTest::mouseClick(w->Label16, Qt::LeftButton);
    });
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    ASSERT_EQ(catcher.opened.size(), 1);
    EXPECT_EQ(catcher.opened.front(), QUrl(QString::fromStdString(form->config().portalUrl)));
}

} // namespace

#include "wizard_test.moc"
