#pragma once

#include <span>

namespace vindaro {

enum class Mode { selfTest, connectionTest, stop, application };

// Each argument, the program path included, is compared whole and case-sensitively;
// "--self-test" wins over "--connection-test", which wins over "--stop" (tell the running agent
// to stop); anything else is ignored.
Mode selectMode(std::span<const char* const> arguments);

} // namespace vindaro
