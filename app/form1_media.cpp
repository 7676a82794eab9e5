// The media side of the main window: preview, live encoding and the quality levels.
#include "app/form1.h"

struct TForm1::Media {
};

void TForm1::MediaDeleter::operator()(Media *m) const { delete m; }

void TForm1::createMediaTypeLists() {}
void TForm1::releaseMediaTypeLists() {}
void TForm1::setWriterPort(int) {}
void TForm1::detachWriter() {}
void TForm1::BeginPreview() {}
void TForm1::AbortWebCamDATA() {}
void TForm1::MixBoth() {}
void TForm1::stopLiveEncoding() {}
void TForm1::RadioCheck(int) {}
void TForm1::levelMenuClick(int) {}
void TForm1::applyCompressionLevel() {}
