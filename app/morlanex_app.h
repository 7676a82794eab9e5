// Internal header. The program's four windows, created in their fixed order: the main window
// (whose start-up runs in its constructor), the wizard, the about box, and the start pop-up,
// which shows at once.
#pragma once

#include <memory>

class MouseHook;
class TForm1;
class TForm2;
class TForm3;
class TForm4;

struct MorlanexApp {
    // Sets the application title, installs the mouse hook and creates the windows.
    MorlanexApp();
    ~MorlanexApp();

    std::unique_ptr<MouseHook> hook;
    std::unique_ptr<TForm1> Form1;
    TForm2 *Form2 = nullptr; // owned by Form1
    TForm3 *Form3 = nullptr; // owned by Form1
    std::unique_ptr<TForm4> Form4;
};
