#include "audio/recording_control.h"

#include <QProcess>
#include <QStandardPaths>

const std::vector<MixerCommand> &recordingMixers() {
    static const std::vector<MixerCommand> mixers = {
        {QStringLiteral("pavucontrol"), {QStringLiteral("--tab=4")}},
        {QStringLiteral("pavucontrol-qt"), {QStringLiteral("--tab=4")}},
        {QStringLiteral("gnome-control-center"), {QStringLiteral("sound")}},
        {QStringLiteral("kcmshell6"), {QStringLiteral("kcm_pulseaudio")}},
        {QStringLiteral("x-terminal-emulator"),
         {QStringLiteral("-e"), QStringLiteral("alsamixer"), QStringLiteral("--view=capture")}},
    };
    return mixers;
}

bool openRecordingControl() {
    for (const MixerCommand &mixer : recordingMixers()) {
        if (QStandardPaths::findExecutable(mixer.program).isEmpty()) continue;
        if (QProcess::startDetached(mixer.program, mixer.arguments)) return true;
    }
    return false;
}
