#include "xorg_server.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace vindaro::test {

namespace {

// AutoAddDevices off: the server's keyboard is its virtual core keyboard only, whose keymap
// setxkbmap sets; no real keyboard of this machine takes part.
constexpr const char* configuration = R"(Section "ServerFlags"
    Option "AutoAddDevices" "false"
    Option "AutoAddGPU" "false"
EndSection
Section "Device"
    Identifier "dummy"
    Driver "dummy"
    VideoRam 4096
EndSection
Section "Screen"
    Identifier "screen"
    Device "dummy"
    DefaultDepth 24
    SubSection "Display"
        Depth 24
        Virtual 640 480
    EndSubSection
EndSection
)";

std::string makeDirectory() {
    std::string path = (std::filesystem::temp_directory_path() / "vindaro-xorg-XXXXXX").string();
    if (mkdtemp(path.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    std::ofstream(path + "/xorg.conf") << configuration;
    return path;
}

} // namespace

XorgServer::XorgServer()
    : XorgServer(makeDirectory()) {}

XorgServer::XorgServer(std::string directory) try
    : XServerProcess({"Xorg", "-config", directory + "/xorg.conf", "-logfile",
                      directory + "/xorg.log", "-noreset", "-nolisten", "tcp", "-novtswitch",
                      "-sharevts"},
                     std::chrono::seconds(30))
    , m_directory(directory) {
} catch (...) {
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
    throw;
}

XorgServer::~XorgServer() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(m_directory, ignored);
}

void XorgServer::setKeymap(const std::vector<std::string>& arguments) const {
    std::string command = "setxkbmap -display " + displayName();
    for (const std::string& argument : arguments)
        command += " '" + argument + "'";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error(command + " failed");
}

bool XorgServer::available() {
    return geteuid() == 0;
}

} // namespace vindaro::test
