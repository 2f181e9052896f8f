// Bytes of one relay message: decoding never crashes and either yields a command or refuses.
#include "fuzz_check.h"
#include "keyboard/key_command.h"
#include "keyboard/key_map.h"
#include "model/json_fields.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        const auto command = vindaro::KeyCommand::decode(
            QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
        if (const auto entry = vindaro::KeyMap::code(command.key))
            FUZZ_CHECK(entry->name == entry->name.trimmed().toUpper());
    } catch (const vindaro::JsonDecodeError&) {
    }
    return 0;
}
