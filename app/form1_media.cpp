// The media side of the main window: preview, live encoding and the quality levels.
#include "app/form1.h"

#include <QFrame>
#include <QLabel>
#include <QMovie>

struct TForm1::Media {
};

void TForm1::MediaDeleter::operator()(Media *m) const { delete m; }

void TForm1::createMediaTypeLists() {}
void TForm1::releaseMediaTypeLists() {}
void TForm1::setWriterPort(int) {}
void TForm1::detachWriter() {}
void TForm1::BeginPreview() {}
void TForm1::AbortWebCamDATA() {}
// Placeholder until the live graph exists: the state and texts of a started broadcast.
void TForm1::MixBoth()
{
    LiveActive = true;
    Image5->show();
    if (Image5Movie)
        Image5Movie->start();
    setStatus(QStringLiteral("視訊直播已啟動"), kStatusRed);
    Label10->setText(QStringLiteral("現場直播"));
    Panel1->show();
}
void TForm1::stopLiveEncoding() {}
void TForm1::RadioCheck(int) {}
void TForm1::levelMenuClick(int) {}
void TForm1::applyCompressionLevel() {}
