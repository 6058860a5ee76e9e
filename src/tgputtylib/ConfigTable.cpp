#include "tgputtylib/ConfigTable.h"

#include "tgputtylib/tgputtylib.h"

#include <cstring>

namespace tgputty {

namespace {

constexpr int Count = TGPUTTYLIB_CONF_COUNT;

struct Entry {
    const char* name;
    int32_t type; // 0 number or switch, 1 text
    int32_t value;
};

// Most entries are kept for the caller and not read by this library; the ones it reads are named
// in ConfigIndex. Of the proxy types, SOCKS 4, SOCKS 5 and HTTP are supported; Telnet, a local
// command and the rest make the connection fail with a message.
const Entry s_entries[] = {
    {"host", 1, 0},
    {"port", 0, 22},
    {"username", 1, 0},
    {"address_family", 0, 0},
    {"tcp_nodelay", 0, 1},
    {"tcp_keepalives", 0, 0},
    {"ping_interval", 0, 0},
    {"connect_timeout", 0, 60000},
    {"reply_timeout", 0, 60000},
    {"proxy_type", 0, 0},
    {"proxy_host", 1, 0},
    {"proxy_port", 0, 80},
    {"proxy_username", 1, 0},
    {"proxy_password", 1, 0},
    {"proxy_exclude_list", 1, 0},
    {"proxy_dns", 0, 1},
    {"proxy_localhost", 0, 0},
    {"proxy_command", 1, 0},
    {"compression", 0, 0},
    {"kex_list", 1, 0},
    {"hostkey_list", 1, 0},
    {"cipher_list", 1, 0},
    {"mac_list", 1, 0},
    {"rekey_time", 0, 60},
    {"rekey_data", 1, 0},
    {"known_hosts_file", 1, 0},
    {"strict_host_key_checking", 0, 1},
    {"try_password_auth", 0, 1},
    {"try_publickey_auth", 0, 1},
    {"try_kbdint_auth", 0, 1},
    {"try_agent_auth", 0, 0},
    {"keyfile", 1, 0},
    {"public_keyfile", 1, 0},
    {"show_auth_banner", 0, 1},
    {"max_auth_attempts", 0, 3},
    {"sftp_version", 0, 3},
    {"sftp_write_buffer", 0, 4 * 1024 * 1024},
    {"sftp_read_buffer", 0, 2 * 1024 * 1024},
    {"sftp_max_requests", 0, 64},
    {"sftp_block_size", 0, 32768},
    {"preserve_times", 0, 0},
    {"preserve_permissions", 0, 0},
    {"file_create_mode", 0, 0644},
    {"dir_create_mode", 0, 0755},
    {"overwrite_existing", 0, 1},
    {"resume_partial", 0, 0},
    {"follow_symlinks", 0, 1},
    {"list_long_names", 0, 1},
    {"list_sort", 0, 0},
    {"list_hidden", 0, 1},
    {"remote_charset", 1, 0},
    {"local_charset", 1, 0},
    {"path_separator", 1, 0},
    {"home_dir", 1, 0},
    {"initial_dir", 1, 0},
    {"verbose_level", 0, 0},
    {"checkpoint_level", 0, 0},
    {"log_file", 1, 0},
    {"log_type", 0, 0},
    {"log_omit_passwords", 0, 1},
    {"log_omit_data", 0, 1},
    {"trace_libssh2", 0, 0},
    {"bind_address", 1, 0},
    {"bind_port", 0, 0},
    {"socket_send_buffer", 0, 0},
    {"socket_recv_buffer", 0, 0},
    {"ip_tos", 0, 0},
    {"ipv6_only", 0, 0},
    {"dns_timeout", 0, 0},
    {"keepalive_interval", 0, 0},
    {"keepalive_want_reply", 0, 0},
    {"env_vars", 1, 0},
    {"agent_socket", 1, 0},
    {"agent_forwarding", 0, 0},
    {"x11_forwarding", 0, 0},
    {"port_forwardings", 1, 0},
    {"remote_command", 1, 0},
    {"subsystem", 1, 0},
    {"banner_text", 1, 0},
    {"client_version", 1, 0},
    {"server_version_expected", 1, 0},
    {"abort_on_error", 0, 1},
    {"retry_count", 0, 0},
    {"retry_delay", 0, 0},
    {"transfer_mode", 0, 0},
};

static_assert(sizeof s_entries / sizeof s_entries[0] == TGPUTTYLIB_CONF_COUNT,
              "the library offers its documented number of configuration entries");

struct Arrays {
    int32_t types[Count];
    int32_t subtypes[Count];
    char* names[Count];
    Arrays() {
        for (int i = 0; i < Count; ++i) {
            types[i] = s_entries[i].type;
            subtypes[i] = 0;
            names[i] = const_cast<char*>(s_entries[i].name);
        }
    }
};

Arrays& arrays() {
    static Arrays a;
    return a;
}

} // namespace

int32_t* ConfigTable::types() {
    return arrays().types;
}
int32_t* ConfigTable::subtypes() {
    return arrays().subtypes;
}
char** ConfigTable::names() {
    return arrays().names;
}
int32_t ConfigTable::count() {
    return Count;
}
int32_t ConfigTable::defaultInt(int index) {
    return index >= 0 && index < Count ? s_entries[index].value : 0;
}

} // namespace tgputty
