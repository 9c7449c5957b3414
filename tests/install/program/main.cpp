// A program outside the tree, built only against the installed client library: it must compile
// with the installed headers alone, link with what pkg-config or the CMake package name, and
// report a missing agent as a connection error rather than crash or hang.
#include <client/TerminalHelperClient.hpp>
#include <ipc/ClientConnection.hpp>
#include <platform/EventLoop.hpp>
#include <protocol/TerminalService.hpp>
#include <protocol/UUID.hpp>

#include <iostream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: installed-client SOCKET\n";
        return 2;
    }
    veltro::UUID id = veltro::UUID::random();
    if (veltro::UUID::parse(id.string()) != id) {
        std::cerr << "a UUID does not survive its own text form\n";
        return 1;
    }
    if (veltro::TerminalService::socketName().empty()) {
        std::cerr << "the library names no socket\n";
        return 1;
    }
    veltro::EventLoop loop;
    try {
        veltro::TerminalHelperClient::connect(loop, {}, argv[1]);
    } catch (const veltro::ipc::ConnectionError& error) {
        std::cout << "no agent, as expected: " << error.what() << '\n';
        return 0;
    }
    std::cerr << "connected to an agent at " << argv[1] << ", where none can listen\n";
    return 1;
}
