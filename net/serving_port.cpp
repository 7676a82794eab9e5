#include "net/serving_port.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <utility>

ServingPortReservation::~ServingPortReservation() { release(); }

bool ServingPortReservation::reserve(std::uint16_t port) {
    release();
    morlanex::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return false;
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) return false;
    fd_ = std::move(fd);
    return true;
}

void ServingPortReservation::release() { fd_.reset(); }
