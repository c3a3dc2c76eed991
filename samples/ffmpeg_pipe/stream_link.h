// One input of ffmpeg carried over a loopback TCP connection: the sample
// listens on 127.0.0.1 at a port the system picks, ffmpeg connects to it as
// tcp://127.0.0.1:PORT, and the sample writes without ever blocking, so that
// neither input can hold up the other.
#pragma once

#include <winsock2.h>

#include <cstdint>

namespace ffmpeg_pipe {

// Winsock for the duration of an export; reference counted by the system.
class WinsockScope {
public:
    WinsockScope();
    ~WinsockScope();
    WinsockScope(const WinsockScope&) = delete;
    WinsockScope& operator=(const WinsockScope&) = delete;
    bool Valid() const { return valid_; }

private:
    bool valid_;
};

class StreamLink {
public:
    StreamLink() = default;
    ~StreamLink();
    StreamLink(const StreamLink&) = delete;
    StreamLink& operator=(const StreamLink&) = delete;

    // Opens the listening socket; false when the system refuses.
    bool Listen();
    int Port() const { return port_; }
    bool Listening() const { return listener_ != INVALID_SOCKET; }
    bool Connected() const { return connection_ != INVALID_SOCKET; }
    SOCKET Listener() const { return listener_; }
    SOCKET Connection() const { return connection_; }
    // Takes the one connection that select reported on the listener and
    // stops listening, so that nobody else can connect; false on failure.
    bool Accept();
    // Bytes taken by the system, 0 when its buffer is full, -1 when the
    // reader is gone.
    int32_t Send(const uint8_t* data, int32_t size);
    // The end of this input: ffmpeg reads to here and then sees its end.
    void Finish();
    // Resets the connection: ffmpeg's next read fails at once.
    void Abort();

private:
    SOCKET listener_ = INVALID_SOCKET;
    SOCKET connection_ = INVALID_SOCKET;
    int port_ = 0;
};

}  // namespace ffmpeg_pipe
