#pragma once

#include <cstdint>

namespace tgputty {

// The configuration entries every context has: their names, kinds (0 number or switch, 1 text)
// and sub-kinds (unused, 0). Indexes below are the ones the library itself reads.
struct ConfigTable {
    static int32_t* types();
    static int32_t* subtypes();
    static char** names();
    static int32_t count();
    // Default value of a numeric entry.
    static int32_t defaultInt(int index);
};

enum ConfigIndex : int {
    ConfProxyType = 9,
    ConfProxyHost = 10,
    ConfProxyPort = 11,
    ConfProxyUserName = 12,
    ConfProxyPassword = 13,
    ConfProxyExcludeList = 14,
    ConfProxyDns = 15,
    ConfProxyLocalhost = 16,
    ConfKnownHostsFile = 25,
    ConfWriteBuffer = 36,
    ConfReadBuffer = 37,
};

// Values of "proxy_type".
enum ProxyType : int {
    ProxyNone = 0,
    ProxySocks4 = 1,
    ProxySocks5 = 2,
    ProxyHttp = 3,
};

} // namespace tgputty
