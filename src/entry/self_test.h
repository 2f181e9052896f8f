#pragma once

#include "keyboard/key_map.h"

#include <QString>

#include <functional>
#include <optional>
#include <ostream>

namespace vindaro {

// Checks the agent's pure logic with no network, window, keychain or keyboard. Stops at the
// first failing check and writes exactly one "SELF_TEST_DETAIL: " line for it; writes nothing
// on success.
bool runSelfTest(std::ostream& out);

using KeyLookup = std::function<std::optional<KeyMapEntry>(const std::optional<QString>&)>;

// The required key names the lookup has no entry for, in list order, joined by ",".
QString missingKeyNames(const KeyLookup& lookup);

} // namespace vindaro
