// In-place editing of the channel name and description.
#include "app/form1.h"

void TForm1::Label4DblClick() {}
void TForm1::Label5DblClick() {}
void TForm1::Label4MouseDown(Qt::MouseButton button, const QPoint &globalPos) { Panel4MouseDown(button, globalPos); }
void TForm1::Label5MouseDown(Qt::MouseButton button, const QPoint &globalPos) { Panel4MouseDown(button, globalPos); }
void TForm1::Label4MouseMove() {}
void TForm1::Label5MouseMove() {}
void TForm1::Edit1Exit() {}
