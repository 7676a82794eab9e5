// The broadcast session: directory registration, viewers, counters and the version check.
#include "app/form1.h"

struct TForm1::Session {
};

void TForm1::SessionDeleter::operator()(Session *s) const { delete s; }

void TForm1::obtainNodeIdentity() {}
void TForm1::obtainLocalAddress() {}
void TForm1::activateEndpoints() {}
void TForm1::sendCloseNotice() {}
void TForm1::Image11Click() {}
void TForm1::Image12Click() {}
void TForm1::Timer1Timer() {}
void TForm1::Timer2Timer() {}
void TForm1::Timer3Timer() {}
void TForm1::BeginSendWebCamData() {}
void TForm1::StopSendWebCamData() {}
void TForm1::N11Click() {}
void TForm1::Label8Click() {}
void TForm1::Label12Click() {}
void TForm1::sendChannelTextNotice() {}
