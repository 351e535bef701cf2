#include "support/raw_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace marlune::test {

std::string rawExchange(int port, const std::string& request) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    timeval limit{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char chunk[4096];
        ssize_t n;
        while ((n = ::recv(fd, chunk, sizeof chunk, 0)) > 0) answer.append(chunk, n);
    }
    ::close(fd);
    return answer;
}

}  // namespace marlune::test
