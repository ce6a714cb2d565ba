#pragma once

#include <QIcon>
#include <QString>
#include <cstdint>

namespace housetone::ui {

// The picture for a system-symbol name ("speaker.wave.2.fill", "clock", ...), drawn in the text
// color of the current palette (the disabled text color when the icon is drawn disabled), so one
// monochrome outline serves the light and the dark appearance. A null icon for an unknown name.
QIcon symbolIcon(const QString& systemName);

// Whether the program ships a picture for that name.
bool hasSymbol(const QString& systemName);

// The symbol name of a transport that has a picture of its own (a speaker on another machine:
// "network"); empty for the others, which their name alone tells apart.
QString transportSymbol(std::uint32_t transport);

}  // namespace housetone::ui
