#include "xvfb_server.h"

namespace vindaro::test {

XvfbServer::XvfbServer(const std::vector<std::string>& extraArguments)
    : XServerProcess(
          [&] {
              std::vector<std::string> arguments = {"Xvfb",    "-nolisten", "tcp",       "-noreset",
                                                    "-screen", "0",         "640x480x24"};
              arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
              return arguments;
          }(),
          std::chrono::seconds(10)) {}

} // namespace vindaro::test
