// libFuzzer: the HTTP request reader on arbitrary bytes, fed through a socket in pieces of a
// size the first byte picks. Whatever the pieces, it must end (Complete, or Closed once the
// peer is gone) and agree with the parser run on the whole input at once.
#include "net/request_reader.h"
#include "net/socket.h"

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>
#include <sys/socket.h>

using namespace morlanex;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t step = data[0] % 64 + 1;
    const std::string_view input(reinterpret_cast<const char *>(data + 1), size - 1);
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    UniqueFd server(fds[0]), client(fds[1]);

    RequestReader reader;
    std::vector<std::uint8_t> scratch(1024);
    RequestReader::Status status = RequestReader::Status::Waiting;
    for (std::size_t at = 0; at < input.size() && status == RequestReader::Status::Waiting; at += step) {
        const std::string_view piece = input.substr(at, step);
        check(::send(client.get(), piece.data(), piece.size(), MSG_NOSIGNAL) == ssize_t(piece.size()));
        status = reader.read(server.get(), scratch);
    }
    if (status == RequestReader::Status::Waiting) {
        ::shutdown(client.get(), SHUT_WR);
        status = reader.read(server.get(), scratch);
        check(status != RequestReader::Status::Waiting);
    }

    HttpRequest whole;
    std::size_t headBytes = 0;
    switch (parseHttpRequest(input, 0, &whole, &headBytes)) {
    case HttpParse::Incomplete:
        check(status == RequestReader::Status::Closed);
        break;
    case HttpParse::Error:
        check(status == RequestReader::Status::Complete && reader.verdict() == RequestReader::Verdict::Malformed);
        break;
    case HttpParse::TooLarge:
        check(status == RequestReader::Status::Complete && reader.verdict() == RequestReader::Verdict::HeadTooLarge);
        break;
    case HttpParse::Complete: {
        check(status == RequestReader::Status::Complete);
        check(reader.verdict() != RequestReader::Verdict::Malformed &&
              reader.verdict() != RequestReader::Verdict::HeadTooLarge);
        const HttpRequest &r = reader.request();
        check(r.method == whole.method && r.target == whole.target && r.versionMinor == whole.versionMinor &&
              r.headers == whole.headers);
        check(headBytes <= kMaxRequestHeadBytes);
        break;
    }
    }
    return 0;
}
