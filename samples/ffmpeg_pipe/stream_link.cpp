#include "samples/ffmpeg_pipe/stream_link.h"

#include <windows.h>
#include <ws2tcpip.h>

#include <cstring>

#ifndef WSA_FLAG_NO_HANDLE_INHERIT
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
#endif

namespace ffmpeg_pipe {

namespace {
// A socket handle that ffmpeg inherited would keep the connection open after
// the sample closes it, and ffmpeg would never see the end or the reset.
void KeepFromChildren(SOCKET socket) { SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0); }
}  // namespace

WinsockScope::WinsockScope() {
    WSADATA data;
    valid_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

WinsockScope::~WinsockScope() {
    if (valid_) WSACleanup();
}

StreamLink::~StreamLink() {
    if (connection_ != INVALID_SOCKET) closesocket(connection_);
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
}

bool StreamLink::Listen() {
    listener_ = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    // Systems before Windows 7 SP1 refuse the flag.
    if (listener_ == INVALID_SOCKET) listener_ = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, 0);
    if (listener_ == INVALID_SOCKET) return false;
    KeepFromChildren(listener_);
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    // Loopback only: nothing outside the machine can reach it, and the
    // firewall does not ask the user about it.
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener_, 1) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closesocket(listener_);
        listener_ = INVALID_SOCKET;
        return false;
    }
    port_ = ntohs(address.sin_port);
    return true;
}

bool StreamLink::Accept() {
    SOCKET accepted = accept(listener_, nullptr, nullptr);
    closesocket(listener_);
    listener_ = INVALID_SOCKET;
    if (accepted == INVALID_SOCKET) return false;
    KeepFromChildren(accepted);
    u_long non_blocking = 1;
    if (ioctlsocket(accepted, FIONBIO, &non_blocking) != 0) {
        closesocket(accepted);
        return false;
    }
    connection_ = accepted;
    return true;
}

int32_t StreamLink::Send(const uint8_t* data, int32_t size) {
    const int sent = send(connection_, reinterpret_cast<const char*>(data), size, 0);
    if (sent >= 0) return sent;
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

void StreamLink::Finish() {
    if (connection_ != INVALID_SOCKET) shutdown(connection_, SD_SEND);
}

void StreamLink::Abort() {
    if (connection_ != INVALID_SOCKET) {
        linger reset = {1, 0};
        setsockopt(connection_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset), sizeof reset);
        closesocket(connection_);
        connection_ = INVALID_SOCKET;
    }
    if (listener_ != INVALID_SOCKET) {
        closesocket(listener_);
        listener_ = INVALID_SOCKET;
    }
}

}  // namespace ffmpeg_pipe
