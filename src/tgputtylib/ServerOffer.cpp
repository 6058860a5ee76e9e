#include "tgputtylib/ServerOffer.h"

#include <cstdint>

namespace tgputty {

namespace {

constexpr unsigned char KexInit = 20;

uint32_t readUint32(const std::string& s, size_t at) {
    return uint32_t(static_cast<unsigned char>(s[at])) << 24 |
           uint32_t(static_cast<unsigned char>(s[at + 1])) << 16 |
           uint32_t(static_cast<unsigned char>(s[at + 2])) << 8 |
           uint32_t(static_cast<unsigned char>(s[at + 3]));
}

bool shareName(const std::string& a, const std::string& b) {
    size_t at = 0;
    while (at <= a.size()) {
        const size_t stop = std::min(a.find(',', at), a.size());
        const std::string name = a.substr(at, stop - at);
        at = stop + 1;
        if (name.empty())
            continue;
        const std::string list = "," + b + ",";
        if (list.find("," + name + ",") != std::string::npos)
            return true;
    }
    return false;
}

} // namespace

bool ServerOffer::parse(const std::string& received) {
    m_lists.clear();
    // Lines before the greeting may come first; the binary packets follow the greeting's end.
    size_t at = 0;
    for (;;) {
        const size_t end = received.find('\n', at);
        if (end == std::string::npos)
            return false;
        const bool greeting = received.compare(at, 4, "SSH-") == 0;
        at = end + 1;
        if (greeting)
            break;
    }
    if (received.size() < at + 6)
        return false;
    const uint32_t length = readUint32(received, at);
    if (length < 2 || received.size() < at + 4 + length ||
        static_cast<unsigned char>(received[at + 5]) != KexInit)
        return false;
    const size_t packetEnd = at + 4 + length;
    size_t p = at + 6 + 16; // message number and cookie
    for (int i = 0; i < 10; ++i) {
        if (p + 4 > packetEnd)
            return false;
        const uint32_t n = readUint32(received, p);
        p += 4;
        if (n > packetEnd - p)
            return false;
        m_lists.push_back(received.substr(p, n));
        p += n;
    }
    return true;
}

std::string ServerOffer::mismatch(const std::string& keyExchange, const std::string& hostKeys,
                                  const std::string& ciphers, const std::string& macs) const {
    if (m_lists.size() < 6)
        return {};
    struct Kind {
        const char* name;
        const std::string& offered;
        const std::string& ours;
    };
    const Kind kinds[] = {
        {"key exchange", m_lists[0], keyExchange},
        {"host keys", m_lists[1], hostKeys},
        {"ciphers", m_lists[2], ciphers},
        {"ciphers", m_lists[3], ciphers},
        {"MACs", m_lists[4], macs},
        {"MACs", m_lists[5], macs},
    };
    std::string text;
    std::string last;
    for (const Kind& k : kinds) {
        if (shareName(k.offered, k.ours) || k.name == last)
            continue;
        last = k.name;
        text += (text.empty() ? "" : "; ") + std::string(k.name) + ": the server offers only " +
                (k.offered.empty() ? std::string("nothing") : k.offered) + ", this library " +
                "accepts " + k.ours;
    }
    return text.empty() ? text : "No algorithm in common with the server (" + text + ")";
}

} // namespace tgputty
