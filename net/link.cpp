#include "net/link.h"

#include "net/wire.h"

#include <cstring>
#include <iostream>

TCPsocket server = nullptr;

bool connect_to_server(const std::string& host, int port) {
    std::cout << "Connecting to server " << host << " on port " << port << std::endl;
    IPaddress address;
    if (SDLNet_ResolveHost(&address, host.c_str(), static_cast<Uint16>(port)) < 0) {
        std::cout << "SDLNet_ResolveHost: " << SDL_GetError() << std::endl;
        return false;
    }
    server = SDLNet_TCP_Open(&address);
    if (server == nullptr) {
        std::cout << "SDLNet_TCP_Open: " << SDL_GetError() << std::endl;
        return false;
    }
    std::cout << "Connected successfully!" << std::endl;
    return true;
}

bool send_message(const char* text) {
    if (server == nullptr) {
        return false; // the failed connection was logged at start-up
    }
    const int length = static_cast<int>(std::strlen(text)) + 1;
    if (SDLNet_TCP_Send(server, text, length) < length) {
        std::cout << "SDLNet_TCP_Send: " << SDL_GetError() << std::endl;
        return false;
    }
    return true;
}

void send_position(int x) {
    if (server == nullptr) {
        return;
    }
    unsigned char buffer[4];
    write_uint32_be(static_cast<Uint32>(x), buffer);
    SDLNet_TCP_Send(server, buffer, 4);
}
