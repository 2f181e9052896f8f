#pragma once

#include <span>

namespace vindaro {

enum class Mode { selfTest, connectionTest, application };

// Each argument, the program path included, is compared whole and case-sensitively;
// "--self-test" wins over "--connection-test", and anything else is ignored.
Mode selectMode(std::span<const char* const> arguments);

} // namespace vindaro
