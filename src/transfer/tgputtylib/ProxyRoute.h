#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace tgputty {

// Whether the connection to `host` goes through the configured proxy. Local connections
// (localhost, 127.x.x.x, ::1) go direct unless `proxyLocalhost`, and so do the hosts of
// `excludeList`: names and "*.domain" patterns, separated by commas or blanks; names are
// compared without regard to case.
inline bool usesProxy(const std::string& host, const std::string& excludeList,
                      bool proxyLocalhost) {
    const auto lower = [](std::string t) {
        for (char& c : t)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return t;
    };
    const std::string name = lower(host);
    if (!proxyLocalhost) {
        in_addr v4{};
        in6_addr v6{};
        if (name == "localhost" ||
            (inet_pton(AF_INET, name.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127) ||
            (inet_pton(AF_INET6, name.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6)))
            return false;
    }
    const std::string list = lower(excludeList);
    size_t at = 0;
    while (at < list.size()) {
        const size_t stop = std::min(list.find_first_of(", \t", at), list.size());
        const std::string entry = list.substr(at, stop - at);
        at = stop + 1;
        if (entry.empty())
            continue;
        if (entry == name)
            return false;
        if (entry[0] == '*' && name.size() >= entry.size() - 1 &&
            name.compare(name.size() - (entry.size() - 1), entry.size() - 1, entry, 1) == 0)
            return false;
    }
    return true;
}

} // namespace tgputty
