// One blocking IPv4 TCP socket of Windows Sockets, as the network thread of
// a link channel uses it.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace Net {

constexpr int kReceiveBufferSize = 8192;
constexpr size_t kErrorTextSize = 256;

// Starts Windows Sockets 2.0 for the process while it lives: a program
// holds one from its start to its end.
class CSocketsStartup {
public:
    CSocketsStartup();
    ~CSocketsStartup();
    CSocketsStartup(const CSocketsStartup&) = delete;
    CSocketsStartup& operator=(const CSocketsStartup&) = delete;
    bool Started() const { return started_; }

private:
    bool started_ = false;
};

class CCommonSocket {
public:
    CCommonSocket() = default;
    CCommonSocket(const CCommonSocket&) = delete;
    CCommonSocket& operator=(const CCommonSocket&) = delete;

    // Stores the given handle and returns the old one; nothing is closed.
    virtual SOCKET ExchangeHandle(SOCKET handle);
    // Hard-closes the current socket and takes over the given one.
    virtual bool Attach(SOCKET handle, int family);
    // The owner closes the socket before; the object does not.
    virtual ~CCommonSocket() = default;

    // Linger 0: the peer sees a reset, not a graceful shutdown.
    void Close();
    bool Create();
    bool Connect(const char* host, uint16_t port);
    // The same, abandoned as soon as wake becomes readable.
    bool Connect(const char* host, uint16_t port, SOCKET wake);
    // Positive when readable, 0 when not within the time, negative on error.
    int WaitReadable(DWORD milliseconds);
    // One wait of the given time that also returns when wake (if not
    // INVALID_SOCKET) becomes readable; then *woken is set and the result
    // is 0 unless the socket is readable too.
    int WaitFor(DWORD milliseconds, SOCKET wake, bool* woken);
    // Reads what is there, up to the buffer's size: returns once no more
    // bytes are immediately available. Negative without a socket or when
    // the wait fails.
    int Receive(char (&buffer)[kReceiveBufferSize]);
    // The same right after a wait reported the socket readable.
    int ReceiveReady(char (&buffer)[kReceiveBufferSize]);
    // length on success, 0 for an empty buffer, -1 without a socket, -2 on failure.
    int Send(const void* data, size_t length);

    SOCKET Handle() const { return handle_; }
    bool IsConnected() const { return connected_ != 0; }

private:
    bool ConnectUnlessWoken(const sockaddr_in& address, SOCKET wake);
    int ReceiveFrom(char (&buffer)[kReceiveBufferSize], bool readable);

    SOCKET handle_ = INVALID_SOCKET;
    int family_ = AF_INET;
    uint8_t connected_ = 0;
    int created_ = 0;
};

// Diagnostic text of a Windows Sockets error code; at most buffer_size - 1
// characters, always terminated. Returns the code.
int SocketErrorText(size_t buffer_size, int code, char* buffer);

}  // namespace Net
