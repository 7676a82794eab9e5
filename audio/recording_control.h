// Internal header. Opens the desktop's recording volume control, where the user picks and levels
// the channel's sound source.
#pragma once

#include <QString>
#include <QStringList>

#include <vector>

struct MixerCommand {
    QString program;
    QStringList arguments;
};

// The mixers tried, best first: PulseAudio's control on its input devices tab, then others.
const std::vector<MixerCommand> &recordingMixers();

// Starts the first mixer that is installed, detached. Returns false when none could start;
// the caller reports nothing.
bool openRecordingControl();
