#pragma once

#include <QString>
#include <QStringList>

namespace vindaro {

class UserDefaults;

// The keys a streamer's viewers may not press, named as the key map names them ("ENTER", "T").
namespace BlockedKeys {

struct Parsed {
    QStringList keys;    // key map names, upper case, each once, in the order given
    QStringList unknown; // what was given that names no key, as given
};

// Reads a list such as "enter, Esc  T": names are separated by commas or white space, and
// blanks and repeats count once or not at all.
Parsed parse(const QString& text);

// The list as it is shown and stored: "ENTER, ESC, T".
QString format(const QStringList& keys);

// The list kept between runs in the settings, read as parse() reads it.
Parsed stored(const UserDefaults& defaults);
// Keeps the list; false when the settings could not be written.
[[nodiscard]] bool store(UserDefaults& defaults, const QStringList& keys);

} // namespace BlockedKeys

} // namespace vindaro
