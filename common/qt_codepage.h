// Internal header. QString <-> CP950 bytes, for the settings file and the datagrams.
#pragma once

#include "common/codepage.h"

#include <QString>
#include <string>

inline std::string toCp950(const QString &text) { return morlanex::utf8ToCp950(text.toStdString()); }

inline QString fromCp950(const std::string &bytes) { return QString::fromStdString(morlanex::cp950ToUtf8(bytes)); }
