#pragma once

#include <string>
#include <vector>

namespace tgputty {

// The algorithms a server offered in its first key-exchange message, read back from the bytes
// received before the key exchange, to say why a negotiation found nothing in common.
class ServerOffer {
public:
    // Reads the server's greeting and its first key-exchange message; false when they are not
    // all there.
    bool parse(const std::string& received);

    // Empty when every kind has a name in common with what the client asks for; otherwise a
    // sentence naming, for each kind without one, what the server offered.
    std::string mismatch(const std::string& keyExchange, const std::string& hostKeys,
                         const std::string& ciphers, const std::string& macs) const;

private:
    // key exchange, host keys, ciphers and MACs each way, compression each way, languages
    std::vector<std::string> m_lists;
};

} // namespace tgputty
