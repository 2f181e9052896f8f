#include "mode.h"

#include <algorithm>
#include <string_view>

namespace vindaro {

Mode selectMode(std::span<const char* const> arguments) {
    const auto has = [&](std::string_view wanted) {
        return std::ranges::any_of(arguments, [&](const char* argument) {
            return argument != nullptr && std::string_view(argument) == wanted;
        });
    };
    if (has("--self-test"))
        return Mode::selfTest;
    if (has("--connection-test"))
        return Mode::connectionTest;
    if (has("--stop"))
        return Mode::stop;
    return Mode::application;
}

} // namespace vindaro
