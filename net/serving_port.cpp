#include "net/serving_port.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

ServingPortReservation::~ServingPortReservation()
{
    release();
}

bool ServingPortReservation::reserve(std::uint16_t port)
{
    release();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void ServingPortReservation::release()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}
