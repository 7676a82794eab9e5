// Public header.
//
// EndpointError: the exception that the UDP endpoint layer throws. Its what()
// text is the exact message the user may see in the application's error
// report, e.g. "Socket Error # 10048\r\nAddress already in use.".
//
// Socket failures carry a Winsock-style code: the POSIX errno is mapped to
// the code of the same meaning (EADDRINUSE -> 10048, ...), so the texts are
// the same on every platform.
//
// Threads: plain values; the mapping tables are constant.
#pragma once

#include <stdexcept>
#include <string>

namespace morlanex {

class EndpointError : public std::runtime_error {
public:
    enum class Kind {
        PackageTooBig,  // "Package Size Too Big."
        NotAllSent,  // "Not all bytes sent."
        AddressInUse,  // "Could not bind socket. Address and port are already in use."
        CannotAllocate,  // "Cannot allocate socket."
        Socket,  // "Socket Error # %d\r\n%s"
    };

    EndpointError(Kind kind, int code, const std::string &text) : std::runtime_error(text), kind_(kind), code_(code) {}

    static EndpointError packageTooBig();
    static EndpointError notAllSent();
    static EndpointError addressInUse();
    static EndpointError cannotAllocate();
    static EndpointError socket(int winsockCode);
    // The socket error of a failed system call, from its errno.
    static EndpointError fromErrno(int error);

    Kind kind() const { return kind_; }
    int code() const { return code_; }  // the Winsock code; 0 when not a socket error

private:
    Kind kind_;
    int code_;
};

// Winsock code for an errno value; an errno without counterpart is returned as
// it is (its description is then empty).
int winsockCodeFromErrno(int error);

// The description of a Winsock code, empty for a code not in the table.
const char *winsockDescription(int code);

// Winsock's "host not found", used when a host name cannot be resolved.
inline constexpr int WinsockHostNotFound = 11001;

}  // namespace morlanex
