#include "client/net/common_socket.h"

#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>

namespace Net {

namespace {

constexpr DWORD kWaitSlice = 100;

struct ErrorText {
    int code;
    const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {6, "%d:Specified event object handle is invalid. "},
    {8, "%d:Insufficient memory available. "},
    {87, "%d:One or more parameters are invalid. "},
    {995, "%d:Overlapped operation aborted. "},
    {996, "%d:Overlapped I/O event object not in signaled state. "},
    {997, "%d:"},
    {10004, "%d:Interrupted function call. "},
    {10013, "%d:Permission denied. "},
    {10014, "%d:Bad address. "},
    {10022, "%d:Invalid argument. "},
    {10024, "%d:Too many open files. "},
    {10035, "%d:Resource temporarily unavailable. "},
    {10036, "%d:Operation now in progress. "},
    {10037, "%d:Operation already in progress. "},
    {10038, "%d:Socket operation on nonsocket. "},
    {10039, "%d:Destination address required. "},
    {10040, "%d:Message too long. "},
    {10041, "%d:Protocol wrong type for socket. "},
    {10042, "%d:Bad protocol option. "},
    {10043, "%d:Protocol not supported. "},
    {10044, "%d:Socket type not supported. "},
    {10045, "%d:Operation not supported. "},
    {10046, "%d:Protocol family not supported. "},
    {10047, "%d:Address family not supported by protocol family. "},
    {10048, "%d:Address already in use. "},
    {10049, "%d:Cannot assign requested address. "},
    {10050, "%d:Network is down. "},
    {10051, "%d:Network is unreachable. "},
    {10052, "%d:Network dropped connection on reset. "},
    {10053, "%d:Software caused connection abort. "},
    {10054, "%d:Connection reset by peer. "},
    {10055, "%d:No buffer space available. "},
    {10056, "%d:Socket is already connected. "},
    {10057, "%d:Socket is not connected. "},
    {10058, "%d:Cannot send after socket shutdown. "},
    {10060, "%d:Connection timed out. "},
    {10061, "%d:Connection refused. "},
    {10064, "%d:Host is down. "},
    {10065, "%d:No route to host. "},
    {10067, "%d:Too many processes. "},
    {10091, "%d:Network subsystem is unavailable. "},
    {10092, "%d:Winsock.dll version out of range. "},
    {10093, "%d:Successful WSAStartup not yet performed. "},
    {10101, "%d:Graceful shutdown in progress. "},
    {10107, "%d:System call failure. "},
    {10109, "%d:Class type not found. "},
    {11001, "%d:Host not found. "},
    {11002, "%d:Nonauthoritative host not found. "},
    {11003, "%d:This is a nonrecoverable error. "},
    {11004, "%d:Valid name, no data record of requested type. "},
};

const char* ErrorFormat(int code)
{
    for (const ErrorText& entry : kErrorTexts)
        if (entry.code == code)
            return entry.text;
    return "errno=%d:No error description";
}

bool ResolveHost(const char* host, in_addr* address)
{
    const unsigned long dotted = inet_addr(host);
    if (dotted != INADDR_NONE) {
        address->s_addr = dotted;
        return true;
    }
    const hostent* found = gethostbyname(host);
    if (found == nullptr || found->h_addrtype != AF_INET || found->h_addr_list[0] == nullptr)
        return false;
    std::memcpy(address, found->h_addr_list[0], sizeof *address);
    return true;
}

}  // namespace

CSocketsStartup::CSocketsStartup()
{
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 0), &data) == 0;
}

CSocketsStartup::~CSocketsStartup()
{
    if (started_)
        WSACleanup();
}

SOCKET CCommonSocket::ExchangeHandle(SOCKET handle)
{
    const SOCKET old = handle_;
    handle_ = handle;
    return old;
}

bool CCommonSocket::Attach(SOCKET handle, int family)
{
    Close();
    handle_ = handle;
    family_ = family;
    connected_ = 1;
    return true;
}

void CCommonSocket::Close()
{
    if (handle_ == INVALID_SOCKET)
        return;
    linger hard{1, 0};
    setsockopt(handle_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
    closesocket(handle_);
    handle_ = INVALID_SOCKET;
    connected_ = 0;
}

bool CCommonSocket::Create()
{
    Close();
    handle_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    created_ = 1;
    if (handle_ == INVALID_SOCKET)
        return false;
    u_long blocking = 0;
    ioctlsocket(handle_, FIONBIO, &blocking);
    const char no_delay = 1;
    setsockopt(handle_, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof no_delay);
    return true;
}

bool CCommonSocket::Connect(const char* host, uint16_t port)
{
    return Connect(host, port, INVALID_SOCKET);
}

bool CCommonSocket::Connect(const char* host, uint16_t port, SOCKET wake)
{
    Close();
    if (host == nullptr || !Create())
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (!ResolveHost(host, &address.sin_addr)) {
        Close();
        return false;
    }
    const bool connected = wake == INVALID_SOCKET ? connect(handle_, reinterpret_cast<const sockaddr*>(&address),
                                                            sizeof address) == 0
                                                  : ConnectUnlessWoken(address, wake);
    if (!connected) {
        Close();
        return false;
    }
    connected_ = 1;
    return true;
}

// Waits for the connection as a blocking connect would, but gives up as soon
// as wake becomes readable, so that a stop never waits for an unreachable
// host's connect timeout.
bool CCommonSocket::ConnectUnlessWoken(const sockaddr_in& address, SOCKET wake)
{
    u_long non_blocking = 1;
    if (ioctlsocket(handle_, FIONBIO, &non_blocking) != 0)
        return false;
    if (connect(handle_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (WSAGetLastError() != WSAEWOULDBLOCK)
            return false;
        fd_set readable;
        fd_set writable;
        fd_set failed;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(wake, &readable);
        FD_SET(handle_, &writable);
        FD_SET(handle_, &failed);
        if (select(0, &readable, &writable, &failed, nullptr) <= 0 || !FD_ISSET(handle_, &writable))
            return false;
        int error = 0;
        int length = sizeof error;
        if (getsockopt(handle_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 || error != 0)
            return false;
    }
    u_long blocking = 0;
    return ioctlsocket(handle_, FIONBIO, &blocking) == 0;
}

int CCommonSocket::WaitFor(DWORD milliseconds, SOCKET wake, bool* woken)
{
    if (handle_ == INVALID_SOCKET)
        return -1;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(handle_, &readable);
    if (wake != INVALID_SOCKET)
        FD_SET(wake, &readable);
    timeval limit{static_cast<long>(milliseconds / 1000), static_cast<long>((milliseconds % 1000) * 1000)};
    const int count = select(0, &readable, nullptr, nullptr, &limit);
    if (count < 0) {
        Close();
        return count;
    }
    if (count > 0 && FD_ISSET(handle_, &readable))
        return count;
    if (count > 0 && woken != nullptr)
        *woken = true;
    return 0;
}

int CCommonSocket::WaitReadable(DWORD milliseconds)
{
    if (handle_ == INVALID_SOCKET)
        return -1;
    for (DWORD i = 0; i < milliseconds / kWaitSlice + 1; ++i) {
        const int result = WaitFor(kWaitSlice, INVALID_SOCKET, nullptr);
        if (result != 0)
            return result;
    }
    return 0;
}

int CCommonSocket::Receive(char (&buffer)[kReceiveBufferSize])
{
    return ReceiveFrom(buffer, false);
}

int CCommonSocket::ReceiveReady(char (&buffer)[kReceiveBufferSize])
{
    return ReceiveFrom(buffer, true);
}

int CCommonSocket::ReceiveFrom(char (&buffer)[kReceiveBufferSize], bool readable)
{
    if (handle_ == INVALID_SOCKET)
        return -1;
    int gathered = 0;
    while (gathered < kReceiveBufferSize) {
        // The first wait lets the data arrive; after that only what is
        // already there is read, so a reply is never held back.
        if (!readable) {
            const int ready = WaitFor(gathered == 0 ? kWaitSlice : 0, INVALID_SOCKET, nullptr);
            if (ready < 0)
                return ready;
            if (ready == 0)
                return gathered;
        }
        readable = false;
        const int got = recv(handle_, buffer + gathered, kReceiveBufferSize - gathered, 0);
        if (got == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK)
            continue;
        if (got <= 0) {
            Close();
            return gathered;
        }
        gathered += got;
        // recv hands over everything already there; a short read means
        // nothing more is waiting.
        if (gathered < kReceiveBufferSize && got < kReceiveBufferSize - (gathered - got))
            return gathered;
    }
    return gathered;
}

int CCommonSocket::Send(const void* data, size_t length)
{
    if (handle_ == INVALID_SOCKET)
        return -1;
    if (length == 0)
        return 0;
    const char* bytes = static_cast<const char*>(data);
    size_t sent = 0;
    while (sent < length) {
        const size_t rest = length - sent;
        const int chunk = rest > 0x40000000 ? 0x40000000 : static_cast<int>(rest);
        const int done = send(handle_, bytes + sent, chunk, 0);
        if (done <= 0) {
            Close();
            return -2;
        }
        sent += static_cast<size_t>(done);
    }
    return static_cast<int>(length);
}

int SocketErrorText(size_t buffer_size, int code, char* buffer)
{
    if (buffer == nullptr || buffer_size == 0)
        return code;
    char text[kErrorTextSize];
    std::snprintf(text, sizeof text, ErrorFormat(code), code);
    const size_t length = std::strlen(text);
    const size_t copied = length < buffer_size - 1 ? length : buffer_size - 1;
    std::memcpy(buffer, text, copied);
    buffer[copied] = '\0';
    return code;
}

}  // namespace Net
